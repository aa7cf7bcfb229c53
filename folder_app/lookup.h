// Finding the note or folder an argument names, and how a note is summed up in listings.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "links.h"
#include "protocol.h"
#include "store.h"

namespace kestil::folder {

// Whether two tags are the same tag.
bool same_folded(std::string_view a, std::string_view b);

// The fields every listing gives for a note.
Json note_summary(const NoteFile& where, const std::string& id);

// The note an argument names: a path, an id, a title (in NFC, then case-folded) or an alias.
// Ambiguous titles and unknown names give the sentence to show.
Outcome<NoteFile> find_note(const Space& space, const std::string& given);
Outcome<Note> find_and_load(const Space& space, const std::string& given);

// The space-relative folder named by an argument, which must exist.
Outcome<std::string> find_folder(const Space& space, const std::string& given);

// Adds each of `tags` that `meta` does not carry yet.
void add_tags(FrontMatter& meta, const std::vector<std::string>& tags);

std::string joined_path(std::string_view folder, std::string_view title);

// A note as links to it are looked for: its id, and the keys of its title and aliases.
struct LinkTarget {
  explicit LinkTarget(const NoteFile& where);
  NoteFile where;
  std::string id;
  std::vector<std::string> keys;
};

// Whether `body`, the Markdown of the note `from`, links to `target` in any form a link may
// take.
bool links_to(std::string_view body, const NoteFile& from, const LinkTarget& target,
              const NoteLookup& notes);

// The assistant's Markdown as it is stored in the note at `path`: its id links to notes of the
// space become relative links, which the person's editor can follow.
std::string editor_markdown(std::string_view markdown, std::string_view path,
                            const NoteLookup& notes);

// The aliases a note's front matter lists.
std::vector<std::string> aliases_of(const NoteFile& where);

// The notes of a space as links see them, read from the files as each question first needs
// them: a single note is found without listing the space. Lives for one call.
class SpaceNotes : public NoteLookup {
 public:
  explicit SpaceNotes(const Space& space);
  const std::vector<NoteFile>& all() const;
  std::optional<std::string> existing(std::string_view path) const override;
  std::vector<std::string> titled(std::string_view key) const override;
  std::vector<std::string> aliased(std::string_view key) const override;
  std::optional<std::string> with_id(std::string_view id) const override;
  std::optional<std::string> id_at(std::string_view path) const override;

 private:
  const Space& space_;
  mutable bool listed_ = false;
  mutable bool aliases_read_ = false;
  mutable bool ids_read_ = false;
  mutable std::vector<NoteFile> notes_;
  mutable std::multimap<std::string, size_t> by_title_;  // name_key of the title -> note
  mutable std::multimap<std::string, size_t> by_alias_;  // name_key of an alias -> note
  mutable std::map<std::string, std::string> by_id_;     // id -> path
};

// The tag line's entries and the note's #hashtags, each once.
std::vector<std::string> all_tags(const Note& note);

}  // namespace kestil::folder
