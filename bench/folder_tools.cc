// Median time of the folder app's search_notes and read_note, called in process on a space of
// a few hundred small notes and one note of about 10 MB. Besides the wall time it gives the
// thread's CPU time, which holds on a machine busy with other work.
//   kestil_folder_bench [calls]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tools.h"

namespace {

using namespace kestil;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

void write_space(const fs::path& root) {
  for (int i = 0; i < 300; ++i) {
    fs::path folder = root / ("Folder " + std::to_string(i % 10));
    fs::create_directories(folder);
    std::ofstream(folder / ("Note " + std::to_string(i) + ".md"))
        << "# Note " << i << "\n\nSome words about planning, meetings and #tag" << i % 7
        << ".\n\n- [ ] task " << i << "\n";
  }
  std::ofstream big(root / "Big.md");
  std::string paragraph =
      "The quarterly review covers budgets, hiring and the roadmap; 기록 습관을 만들자. "
      "Notes from the planning meeting follow, with actions for each team.\n\n";
  for (size_t written = 0; written < 10u << 20; written += paragraph.size()) big << paragraph;
  big << "A closing line with the rare word zebracorn.\n";
}

double cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Median wall and CPU milliseconds of `calls` calls.
std::pair<double, double> measure(const std::vector<kestil::folder::Space>& spaces,
                                  const char* tool, const std::string& arguments, int calls) {
  std::vector<double> wall;
  std::vector<double> cpu;
  for (int i = 0; i < calls; ++i) {
    auto started = Clock::now();
    double cpu_started = cpu_ms();
    folder::ToolResult result = folder::call_tool(spaces, tool, Json::parse(arguments));
    cpu.push_back(cpu_ms() - cpu_started);
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    if (result.is_error) {
      std::fprintf(stderr, "%s failed: %s\n", tool, result.text.c_str());
      std::exit(1);
    }
  }
  return {median(wall), median(cpu)};
}

}  // namespace

int main(int argc, char** argv) {
  int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  char pattern[] = "/tmp/kestil-folder-bench-XXXXXX";
  fs::path root = fs::path(mkdtemp(pattern)) / "space";
  write_space(root);
  auto spaces = std::get<std::vector<folder::Space>>(folder::open_spaces({root.string()}));
  struct Run {
    const char* tool;
    std::string arguments;
  };
  const Run runs[] = {
      {"search_notes", R"({"query":"planning meeting"})"},
      {"search_notes", R"({"query":"zebracorn"})"},
      {"search_notes", R"({"query":"\"기록 습관\""})"},
      {"read_note", R"({"note":"Big"})"},
      {"read_note", R"({"note":"Big","cursor":60000})"},
      {"read_note", R"({"note":"Folder 3/Note 13"})"},
  };
  for (const Run& run : runs) {
    auto [wall, cpu] = measure(spaces, run.tool, run.arguments, calls);
    std::printf("%-12s %-40s wall %6.1f ms  cpu %6.1f ms\n", run.tool, run.arguments.c_str(), wall,
                cpu);
  }
  fs::remove_all(root.parent_path());
  return 0;
}
