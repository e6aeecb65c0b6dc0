// UTF-8 well-formedness as the stored-text decoder of the file format demands it: no overlong
// forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <string_view>

namespace redb {

bool is_valid_utf8(std::string_view text);

}  // namespace redb
