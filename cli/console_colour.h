// Colour for the error and warning lines of the tavrik command: only where
// stderr is a terminal, and never when NO_COLOR is set (https://no-color.org),
// so that logs, pipes and files get plain text.
#pragma once

#include <string>

namespace tavrik::cli {

enum class LineTone { Plain, Error, Warning };

// Whether lines written to stderr may carry colour. Decided once per
// process; on Windows it also switches the console to escape sequences and
// says no where the console cannot take them.
bool StderrTakesColour();

// The tone of a message line: errors (and a failed job's summary) and
// warnings (and a job that completed with errors) stand out.
LineTone ToneOf(const std::string& line);

// `text` with each of its lines wrapped in the escape codes of `tone`, when
// `colour` is on; unchanged otherwise.
std::string Coloured(const std::string& text, LineTone tone, bool colour);

}  // namespace tavrik::cli
