// One spelling of names, and what a title, folder name or tag may hold. Macs often write file
// names decomposed (NFD) while people type them composed (NFC); every comparison of paths and
// titles goes through nfc() or name_key() so both spellings name the same note.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestil::folder {

// `text` in Unicode NFC. Text that is not valid UTF-8 comes back unchanged.
std::string nfc(std::string_view text);

// What two names are compared by when case does not matter: NFC and case-folded.
std::string name_key(std::string_view text);

// A file or folder name as the tools show it and take it back: a name that is valid UTF-8 as it
// is; in any other, each byte that is no part of a UTF-8 character, and each '%', written as
// %XY (two upper-case hex digits), so "Caf\xe9" shows as "Caf%E9".
std::string listed_name(std::string_view name);

// The name on disk that listed_name shows as `listed`, or `listed` itself when no other name
// shows that way.
std::string unlisted_name(std::string_view listed);

// The same for each part of a path.
std::string listed_path(std::string_view path);
std::string unlisted_path(std::string_view listed);

// At most 200 characters of `text`, cut on a character boundary and ended with "…" when cut:
// what a message may quote of an argument, however long the argument was.
std::string excerpt(std::string_view text);

// Whether code point `c` may appear in a #hashtag: a Unicode letter, mark or digit, '_', '-'
// or '/' (which nests tags).
bool is_tag_character(char32_t c);

// What is wrong with a note title, a folder name or a tag given by the assistant, as the
// sentence to show; none when it may be used. A title holds at most 200 bytes, a tag at most
// 100 and no white space; none of them holds control characters or bidirectional overrides
// and isolates, which could make a name display as something it is not.
std::optional<std::string> title_problem(std::string_view title);
std::optional<std::string> folder_name_problem(std::string_view name);
std::optional<std::string> tag_problem(std::string_view tag);

}  // namespace kestil::folder
