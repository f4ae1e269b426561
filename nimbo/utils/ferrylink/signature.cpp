#include "signature.hpp"
#include <new>

namespace ferry {

const char *doc_with_signature(const char *name, const TextSignature &sig, const char *doc) noexcept {
    try {
        auto *kept = new std::string(name + sig.text(false) + "\n--\n\n" + doc);
        return kept->c_str();
    } catch (...) {
        return doc;
    }
}

}  // namespace ferry
