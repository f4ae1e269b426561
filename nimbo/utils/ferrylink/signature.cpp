#include "signature.hpp"
#include <cstring>

namespace ferry {

const char *doc_with_signature(const char *name, const TextSignature &sig, const char *doc) noexcept {
    try {
        std::string text(name);
        text.append(sig.text(false)).append("\n--\n\n").append(doc);
        char *kept = new char[text.size() + 1];
        std::memcpy(kept, text.c_str(), text.size() + 1);
        return kept;
    } catch (...) {
        return doc;
    }
}

}  // namespace ferry
