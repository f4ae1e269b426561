#include "signature.hpp"
#include <utility>

namespace ferry {

const char *doc_with_signature(const char *name, const TextSignature &sig, const char *doc) noexcept {
    try {
        std::string text(name);
        text.append(sig.text(false)).append("\n--\n\n").append(doc);
        return (new std::string(std::move(text)))->c_str();
    } catch (...) {
        return doc;
    }
}

}  // namespace ferry
