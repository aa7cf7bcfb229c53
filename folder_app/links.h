// The links to other notes written in a note's Markdown, and which note each one leads to.
//
// Three forms count: an id link "kestil://note/<id>" (what the assistant writes), a bare name
// as in [[Note]], [[Note|text]], [[Note#Heading]], [[Note#^block]] or ![[Note]], and a
// relative Markdown link [text](Other%20note.md). Nothing inside code counts.
//
// Resolving is pure: it asks a NoteLookup, which the file scan and the index both implement,
// so a link leads to the same note whichever of them answers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestil::folder {

enum class LinkKind {
  id,    // kestil://note/<id>
  name,  // [[Note]] and its variants
  file,  // [text](relative/path.md)
};

struct Link {
  LinkKind kind = LinkKind::name;
  // id: the note id. name: the name as written, without "#..." or "|..." ("Note", "Sub/Note").
  // file: the space path without ".md" the link leads to, percent-decoded and resolved against
  // the linking note's folder ("Projects/Other note").
  std::string target;
  // The bytes of the body that spell where the link leads: the URL of an id link, the
  // destination of a Markdown link (inside any <>), the inside of [[...]].
  size_t begin = 0;
  size_t end = 0;
};

// Every link to a note in `body`, the Markdown of the note at space path `from_path`, in order.
// A relative link that climbs out of the space is left out.
std::vector<Link> links_in(std::string_view body, std::string_view from_path);

// What resolving needs to know about a space's notes. Paths are space paths without ".md".
class NoteLookup {
 public:
  virtual ~NoteLookup() = default;
  // The note at `path` (compared in NFC), spelled as the space spells it; none when absent.
  virtual std::optional<std::string> existing(std::string_view path) const = 0;
  // The notes whose title's name_key is `key`.
  virtual std::vector<std::string> titled(std::string_view key) const = 0;
  // The notes whose front matter lists an alias whose name_key is `key`.
  virtual std::vector<std::string> aliased(std::string_view key) const = 0;
  // The note with id `id`.
  virtual std::optional<std::string> with_id(std::string_view id) const = 0;
  // The id of the note at `path` (as existing() spells it).
  virtual std::optional<std::string> id_at(std::string_view path) const = 0;
};

// The path of the note `link`, written in the note at `from_path`, leads to; none when it
// leads nowhere. A name resolves as an exact path first, then to a note of that name in the
// linking note's folder, then to the one with the shortest path; aliases count when no title
// matches. A note moved elsewhere is still found: a file link that leads to no file, and a
// name with a folder part ("Folder/Title") that names no note, resolve by their last part as
// a bare title does.
std::optional<std::string> resolve_link(const Link& link, std::string_view from_path,
                                        const NoteLookup& notes);

// The relative Markdown destination from the note at `from_path` to the note at `to_path`,
// as the person's editor follows it: "../Other%20note.md".
std::string relative_link(std::string_view from_path, std::string_view to_path);

// `markdown`, to be written into the note at `from_path`, with every id link to a known note
// turned into a relative link to that note's file. An unknown id stays as written.
std::string links_for_editor(std::string_view markdown, std::string_view from_path,
                             const NoteLookup& notes);

// `markdown`, read from the note at `from_path`, with every relative Markdown link that leads
// to a note (as resolve_link finds it) shown as its id link again.
std::string links_for_assistant(std::string_view markdown, std::string_view from_path,
                                const NoteLookup& notes);

}  // namespace kestil::folder
