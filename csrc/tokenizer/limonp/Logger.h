#pragma once

#include <cstddef>
#include <ctime>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace lumo::typing::text::limonp {

inline constexpr std::size_t LL_DEBUG = 0;
inline constexpr std::size_t LL_INFO = 1;
inline constexpr std::size_t LL_WARN = 2;
inline constexpr std::size_t LL_ERROR = 3;
inline constexpr std::size_t LL_FATAL = 4;

inline constexpr const char* LOG_LEVEL_ARRAY[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

// What a FATAL record throws once it has been written: what() is the record's text (time,
// label, line, level and message, without the line feed). Deriving from runtime_error lets
// the Python binding's default translation turn it into RuntimeError with that text.
class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& record) : std::runtime_error(record) {}
};

// One diagnostic record. A logger lives for one statement: it starts the record when it is
// built, collects the message through Stream(), and writes the record to standard error when
// the statement ends. A FATAL record then throws FatalError, so a loader that fails a check
// stops at that statement and its half-built object never comes to exist.
class Logger {
 public:
  // `label` names the source unit by a fixed text rather than __FILE__, so records read the
  // same whatever the build directory. A level above FATAL is treated as FATAL.
  Logger(std::size_t level, const char* label, int lineno) : level_(level > LL_FATAL ? LL_FATAL : level) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    stream_ << stamp << ' ' << label << ':' << lineno << ' ' << LOG_LEVEL_ARRAY[level_] << ' ';
  }

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  ~Logger() noexcept(false) {
    const std::string record = stream_.str();
    // The text goes out in one insertion so that concurrent records do not interleave inside it.
    std::cerr << record << std::endl;
    if (level_ == LL_FATAL) {
      throw FatalError(record);
    }
  }

  std::ostream& Stream() { return stream_; }

 private:
  std::ostringstream stream_;
  std::size_t level_;
};

}  // namespace lumo::typing::text::limonp

// Logging statements. `level` is one of DEBUG, INFO, WARN, ERROR, FATAL; `label` the fixed name
// of the writing unit. The plain forms record the line of the statement; the _AT forms take the
// line explicitly, for records whose line number is part of the unit's documented output.
#define LUMO_LOG_AT(level, label, line) \
  ::lumo::typing::text::limonp::Logger(::lumo::typing::text::limonp::LL_##level, (label), (line)).Stream()
#define LUMO_LOG(level, label) LUMO_LOG_AT(level, label, __LINE__)

// Fatal check: when `exp` is false, writes a FATAL record "exp: [<exp as written>] false. "
// followed by whatever the statement streams after it, and throws. `exp` is evaluated once.
#define LUMO_CHECK(exp, label) LUMO_CHECK_TEXT_AT((exp), #exp, label, __LINE__)
#define LUMO_CHECK_AT(exp, label, line) LUMO_CHECK_TEXT_AT((exp), #exp, label, line)
#define LUMO_CHECK_TEXT_AT(ok, text, label, line) \
  if (ok) {                                       \
  } else                                          \
    LUMO_LOG_AT(FATAL, label, line) << "exp: [" text "] false. "
