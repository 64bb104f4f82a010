// Lines on the module's loggers. A debug or info line that a plain
// logging.Logger would drop is not even formatted or joined.
#pragma once

#include <initializer_list>

#include "calls.hpp"

namespace tavrel_saml {

// Whether `log.<level>(...)` (debug or info) would do nothing: `log` is a
// plain logging.Logger, with the standard library's methods (neither its
// class nor the instance replaces them), enabled, and its own level cache
// already says the level is off. Then the call is skipped: nothing it could
// have done is lost. Any other logger is always called.
bool logs_nothing(const Module &m, py::handle log, id::Name level);

// `log.<level>(*args)`, for a logger given by the caller (the module's `log`
// or the root logger through `logging`) and lazy %-formatting arguments.
template <class... Args>
void log_call(const Module &m, py::handle log, id::Name level,
              const Args &...args) {
  if (logs_nothing(m, log, level)) return;
  call_method(log, m[level], args...);
}

// `log.<level>("".join(parts))` on the module's `log`: the texts (each a
// str) are joined only when the line is kept.
void log_text(const Module &m, id::Name level,
              std::initializer_list<py::handle> parts);

// The standard library's Logger and its methods, kept in the state for
// logs_nothing.
void remember_logger_class(const Module &m);

}  // namespace tavrel_saml
