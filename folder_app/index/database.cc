#include "index/database.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "deadline.h"
#include "search.h"

namespace kestil::folder {
namespace {

constexpr int BUSY_TIMEOUT_MS = 5000;
// How many virtual machine steps run between two looks at the deadline.
constexpr int STEPS_PER_DEADLINE_CHECK = 4000;

[[noreturn]] void fail(sqlite3* db, int code, std::string_view doing) {
  throw SqlError(code,
                 std::string(doing) + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code)));
}

int stop_at_deadline(void*) {
  return deadline_passed() ? 1 : 0;
}

// The tokenizer: the matcher's words, ASCII letters lower-cased, everything else as written.
struct Tokenizer {};

int create_tokenizer(void*, const char**, int, Fts5Tokenizer** out) {
  *out = reinterpret_cast<Fts5Tokenizer*>(new Tokenizer);
  return SQLITE_OK;
}

void delete_tokenizer(Fts5Tokenizer* tokenizer) {
  delete reinterpret_cast<Tokenizer*>(tokenizer);
}

int tokenize(Fts5Tokenizer*, void* context, int, const char* text, int size,
             int (*token)(void*, int, const char*, int, int, int)) {
  std::string_view whole(text, static_cast<size_t>(size));
  std::string word;
  int status = SQLITE_OK;
  for_each_word(whole, [&](size_t begin, size_t end) {
    if (status != SQLITE_OK) return;
    word.assign(whole.substr(begin, end - begin));
    for (char& c : word) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    status = token(context, 0, word.data(), static_cast<int>(word.size()), static_cast<int>(begin),
                   static_cast<int>(end));
  });
  return status;
}

// The phrase positions of one column, sorted, for finding a word right after another.
using Positions = std::vector<std::pair<int, int>>;  // column, token offset

// kestil_phrases(words, sizes): whether each quoted phrase of the query stands in this note as
// the matcher wants it, its words at consecutive positions of one column. `sizes` gives the
// number of words of each term of the query in order ("1 2 1"), each word being one phrase of
// the full-text query.
void phrases_in_order(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* result,
                      int count, sqlite3_value** values) {
  const auto* text = count == 1 ? sqlite3_value_text(values[0]) : nullptr;
  std::vector<int> sizes;
  for (const char* at = reinterpret_cast<const char*>(text); at && *at;) {
    char* end = nullptr;
    sizes.push_back(static_cast<int>(std::strtol(at, &end, 10)));
    if (end == at) break;
    at = end;
  }
  if (std::all_of(sizes.begin(), sizes.end(), [](int size) { return size <= 1; })) {
    sqlite3_result_int(result, 1);
    return;
  }
  int instances = 0;
  if (api->xInstCount(fts, &instances) != SQLITE_OK) {
    sqlite3_result_error(result, "cannot read phrase positions", -1);
    return;
  }
  std::vector<Positions> at(static_cast<size_t>(api->xPhraseCount(fts)));
  for (int i = 0; i < instances; ++i) {
    int phrase = 0;
    int column = 0;
    int offset = 0;
    if (api->xInst(fts, i, &phrase, &column, &offset) == SQLITE_OK && phrase >= 0 &&
        static_cast<size_t>(phrase) < at.size()) {
      at[static_cast<size_t>(phrase)].emplace_back(column, offset);
    }
  }
  for (Positions& positions : at) std::sort(positions.begin(), positions.end());
  size_t first = 0;
  for (int size : sizes) {
    auto in_order = [&](const std::pair<int, int>& start) {
      for (int k = 1; k < size; ++k) {
        const Positions& next = at[first + static_cast<size_t>(k)];
        if (!std::binary_search(next.begin(), next.end(),
                                std::make_pair(start.first, start.second + k))) {
          return false;
        }
      }
      return true;
    };
    if (size > 1 && (first + static_cast<size_t>(size) > at.size() ||
                     std::none_of(at[first].begin(), at[first].end(), in_order))) {
      sqlite3_result_int(result, 0);
      return;
    }
    first += static_cast<size_t>(std::max(size, 1));
  }
  sqlite3_result_int(result, 1);
}

void register_tokenizer(sqlite3* db) {
  fts5_api* api = nullptr;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) != SQLITE_OK) {
    fail(db, SQLITE_ERROR, "no full-text module");
  }
  sqlite3_bind_pointer(statement, 1, &api, "fts5_api_ptr", nullptr);
  sqlite3_step(statement);
  sqlite3_finalize(statement);
  if (api == nullptr) fail(db, SQLITE_ERROR, "no full-text module");
  static fts5_tokenizer methods = {create_tokenizer, delete_tokenizer, tokenize};
  int status = api->xCreateTokenizer(api, "kestil", nullptr, &methods, nullptr);
  if (status != SQLITE_OK) fail(db, status, "registering the tokenizer");
  status = api->xCreateFunction(api, "kestil_phrases", nullptr, phrases_in_order, nullptr);
  if (status != SQLITE_OK) fail(db, status, "registering the phrase check");
}

}  // namespace

Connection::Connection(const std::string& file, bool for_calls) {
  int status =
      sqlite3_open_v2(file.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (status != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(status);
    sqlite3_close(db_);
    throw SqlError(status, "opening " + file + ": " + message);
  }
  try {
    sqlite3_busy_timeout(db_, BUSY_TIMEOUT_MS);
    sqlite3_extended_result_codes(db_, 0);
    register_tokenizer(db_);
    exec("PRAGMA journal_mode=WAL");
    if (for_calls) {
      // A search over many notes reads much of the full-text index again and again: its pages
      // stay in memory, within a bound that keeps the app small beside a large index.
      exec("PRAGMA cache_size=-32768");
      sqlite3_progress_handler(db_, STEPS_PER_DEADLINE_CHECK, stop_at_deadline, nullptr);
    } else {
      // The index is a cache: a crash that damages it means a rebuild, so nothing waits for
      // the disk, and a build of many notes keeps its pages in memory. The log is folded back
      // in every 1 MiB or so and cut short, so it adds little to the index's size on disk.
      exec(
          "PRAGMA synchronous=OFF; PRAGMA cache_size=-16000; PRAGMA journal_size_limit=0;"
          " PRAGMA wal_autocheckpoint=256");
    }
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

Connection::~Connection() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

void Connection::exec(const char* sql) {
  char* message = nullptr;
  int status = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (status != SQLITE_OK) {
    std::string text = message ? message : sqlite3_errstr(status);
    sqlite3_free(message);
    if (status == SQLITE_INTERRUPT && deadline_passed()) throw DeadlinePassed();
    throw SqlError(status, text);
  }
}

sqlite3_stmt* Connection::prepared(const char* sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return found->second;
  sqlite3_stmt* statement = nullptr;
  int status = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (status != SQLITE_OK) fail(db_, status, "preparing");
  statements_.emplace(sql, statement);
  return statement;
}

Statement::Statement(Connection& connection, const char* sql)
    : db_(connection.handle()), statement_(connection.prepared(sql)) {}

Statement::~Statement() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

Statement& Statement::bind(int index, int64_t value) {
  int status = sqlite3_bind_int64(statement_, index, value);
  if (status != SQLITE_OK) fail(db_, status, "binding");
  return *this;
}

Statement& Statement::bind(int index, std::string_view value) {
  // An empty view may have no data at all, which SQLite would read as NULL.
  int status = sqlite3_bind_text64(statement_, index, value.empty() ? "" : value.data(),
                                   value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (status != SQLITE_OK) fail(db_, status, "binding");
  return *this;
}

bool Statement::step() {
  int status = sqlite3_step(statement_);
  if (status == SQLITE_ROW) return true;
  if (status == SQLITE_DONE) return false;
  if (status == SQLITE_INTERRUPT && deadline_passed()) throw DeadlinePassed();
  fail(db_, status, "querying");
}

int64_t Statement::integer(int column) {
  return sqlite3_column_int64(statement_, column);
}

std::string Statement::text(int column) {
  const auto* bytes = sqlite3_column_text(statement_, column);
  int size = sqlite3_column_bytes(statement_, column);
  return bytes ? std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size))
               : std::string();
}

}  // namespace kestil::folder
