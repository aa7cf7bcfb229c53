// SQLite as the index uses it: connections that own their handle, cached statements that reset
// themselves, and the word splitter registered as the full-text tokenizer "kestil", so the index
// cuts words exactly where search.cc's matcher does.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestil::folder {

// A failed SQLite call. Thrown inside the index room only; its public calls turn it into a value.
struct SqlError : std::runtime_error {
  SqlError(int code, const std::string& what) : std::runtime_error(what), code(code) {}
  int code;
};

// One connection to an index file, with its prepared statements.
class Connection {
 public:
  // Opens (creating when missing) `file` in WAL mode with a busy timeout and the tokenizer.
  // `for_calls`: reads for tool calls, where a statement stops once this thread's call deadline
  // has passed; else the one connection that writes.
  Connection(const std::string& file, bool for_calls);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs one or more statements that return no rows.
  void exec(const char* sql);
  sqlite3* handle() { return db_; }
  // The prepared form of `sql`, which must be a string literal (cached by its address).
  sqlite3_stmt* prepared(const char* sql);

 private:
  sqlite3* db_ = nullptr;
  std::map<const char*, sqlite3_stmt*> statements_;
};

// A cached statement in use: bind, step, read columns; reset when it goes out of scope.
class Statement {
 public:
  Statement(Connection& connection, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, int64_t value);
  Statement& bind(int index, std::string_view value);
  // Whether a row came; throws DeadlinePassed when the call's deadline stopped it.
  bool step();
  int64_t integer(int column);
  std::string text(int column);

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_;
};

// Runs `body` inside BEGIN IMMEDIATE ... COMMIT, rolling back when it throws.
template <typename Body>
void in_transaction(Connection& connection, Body&& body) {
  connection.exec("BEGIN IMMEDIATE");
  try {
    body();
  } catch (...) {
    sqlite3_exec(connection.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  connection.exec("COMMIT");
}

}  // namespace kestil::folder
