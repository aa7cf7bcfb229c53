// Realistic spaces of Markdown notes for the vault benchmark, the same bytes on every run: nested
// folders, front matter with id, description and tags, #hashtags, tasks, links between notes
// both as [title](kestil://note/<id>) and [[Title]], daily notes in Daily/YYYY-MM-DD.md and some
// Korean. Notes are about 2 KB each.
#pragma once

#include <cstdint>
#include <string>

namespace kestil::bench {

// Words and notes the driver asks about; each holds in a space of any size.
inline constexpr const char* COMMON_WORD = "meeting";   // in most notes
inline constexpr const char* RARE_WORD = "zebracorn";   // in exactly five notes
inline constexpr const char* PHRASE = "budget review";  // together in a few percent of notes
inline constexpr const char* COMMON_TAG = "project";
inline constexpr const char* SCRATCH_NOTE = "Inbox/Scratch";          // appended to by the driver
inline constexpr const char* OUTSIDE_NOTE = "Inbox/Outside change";   // changed from outside
inline constexpr const char* OUTSIDE_NEW_NOTE = "Inbox/Outside new";  // made and deleted

// Facts about the space of `notes` notes, without writing it.
struct VaultFacts {
  std::string hub_title;  // the most linked note
  std::string sample_id;  // a note in the middle of the space, by id and by path
  std::string sample_path;
  std::string scratch_id;
};
VaultFacts vault_facts(int notes);

// Writes the space of `notes` notes into the folder `root` (made when missing) unless a complete
// one is already there; puts the notes the driver changes back as they were generated and removes
// the one it makes. Progress goes to stderr. Returns false when a file could not be written.
bool ensure_vault(const std::string& root, int notes);

}  // namespace kestil::bench
