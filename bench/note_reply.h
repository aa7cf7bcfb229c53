// The stand-in app's answer to a tool call: note text of a chosen size, as realistic as a
// long Markdown note gets (Korean, em dashes, quotes, backslashes, tabs, newlines), in the
// compact form a well-made app writes.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kestil::bench {

// Exactly `bytes` bytes of valid UTF-8 Markdown.
inline std::string note_text(std::size_t bytes) {
  static constexpr std::string_view PARAGRAPHS[] = {
      "## 주간 회고 — 2026년 12월\n\n",
      "- [ ] \"기록 습관\"을 다시 시작하기 — 매일 아침 10분\n",
      "- [x] Path on Windows: C:\\Users\\kim\\notes\\daily.md (don't forget the \\\\ escapes)\n",
      "> 오늘의 인용: \"작은 일을 꾸준히 하는 것이 큰일을 이룬다.\" — 어느 선생님\n\n",
      "| 항목\t| 상태\t| 메모 |\n|---|---|---|\n| 독서\t| 진행 중\t| 'Deep Work' 3장 |\n\n",
      "The meeting ran long — again. Notes: `grep -n \"TODO\" *.md`, then file the rest.\r\n",
      "<!-- b3~1a2b3c --> 회의록: 예산은 12% 늘리고, 일정은 2주 미룬다; 결정은 금요일까지.\n\n",
  };
  std::string text;
  text.reserve(bytes + 256);
  for (std::size_t i = 0; text.size() < bytes; ++i) {
    text += PARAGRAPHS[i % std::size(PARAGRAPHS)];
  }
  std::size_t cut = bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  text.append(bytes - cut, '.');
  return text;
}

// `text` as a JSON string without its quotes: only \" \\ \b \f \n \r \t and lower-case
// \u00xx escaped, everything else as it is.
inline std::string escaped(const std::string& text) {
  std::string quoted = nlohmann::json(text).dump();
  return quoted.substr(1, quoted.size() - 2);
}

// The pieces of a reply line around its id and its escaped text, LF included.
constexpr std::string_view REPLY_HEAD = "{\"id\":";
constexpr std::string_view REPLY_MIDDLE =
    ",\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"";
constexpr std::string_view REPLY_TAIL = "\",\"type\":\"text\"}],\"isError\":false}}\n";

inline std::size_t reply_line_size(std::string_view id_json, std::size_t escaped_text_size) {
  return REPLY_HEAD.size() + id_json.size() + REPLY_MIDDLE.size() + escaped_text_size +
         REPLY_TAIL.size();
}

// The note name that asks the stand-in app for `bytes` of text.
inline std::string note_name(std::size_t bytes) {
  return "bench/" + std::to_string(bytes);
}

}  // namespace kestil::bench
