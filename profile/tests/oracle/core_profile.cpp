#include "core_profile.h"

#include <vector>

#include "profile_text.h"

namespace oracle {

Outcome run_core(const File& file, const Operation& op) {
    // A missing file reads like an empty one; a write creates it.
    const std::string_view bytes = file ? std::string_view(*file) : std::string_view();
    Outcome out;
    switch (op.kind) {
        case Kind::get_string: {
            std::vector<char> buffer(op.size + 64u, kFill);
            out.result = profile_text::get_string(bytes, op.section, op.key, op.text, buffer.data(),
                                                  op.size);
            out.buffer.assign(buffer.data(), op.size);
            for (std::size_t i = op.size; i < buffer.size(); ++i) out.overrun |= buffer[i] != kFill;
            break;
        }
        case Kind::get_int:
            out.result = profile_text::get_int(bytes, op.section, op.key, op.int_default);
            break;
        case Kind::put_string:
            out.result = 1;
            out.file_after = profile_text::put_string(bytes, op.section, op.key, op.text);
            break;
    }
    return out;
}

}  // namespace oracle
