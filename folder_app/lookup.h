// Finding the note or folder an argument names, and how a note is summed up in listings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "store.h"

namespace kestil::folder {

// Whether two tags are the same tag.
bool same_folded(std::string_view a, std::string_view b);

// The fields every listing gives for a note.
Json note_summary(const NoteFile& where, const std::string& id);

// The note an argument names: a path, an id, or a title (exact, then case-folded). Ambiguous
// titles and unknown names give the sentence to show.
Outcome<NoteFile> find_note(const Space& space, const std::string& given);
Outcome<Note> find_and_load(const Space& space, const std::string& given);

// The space-relative folder named by an argument, which must exist.
Outcome<std::string> find_folder(const Space& space, const std::string& given);

// Adds each of `tags` that `meta` does not carry yet.
void add_tags(FrontMatter& meta, const std::vector<std::string>& tags);

std::string joined_path(std::string_view folder, std::string_view title);

// Whether `body` links to the note with `id`.
bool links_to(std::string_view body, std::string_view id);

// The tag line's entries and the note's #hashtags, each once.
std::vector<std::string> all_tags(const Note& note);

}  // namespace kestil::folder
