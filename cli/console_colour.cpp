#include "cli/console_colour.h"

#include <cstdio>
#include <cstdlib>

#include "winapi/win32.h"

#ifdef _WIN32
#include <io.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <unistd.h>
#endif

namespace tavrik::cli {
namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool Decide() {
    const char* noColor = std::getenv("NO_COLOR");
    if (noColor != nullptr && noColor[0] != '\0') return false;
#ifdef _WIN32
    if (_isatty(_fileno(stderr)) == 0) return false;
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    // A terminal that says it is dumb shows escape codes as text.
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::string(term) == "dumb") return false;
    return isatty(fileno(stderr)) != 0;
#endif
}

}  // namespace

bool StderrTakesColour() {
    static const bool colour = Decide();
    return colour;
}

LineTone ToneOf(const std::string& line) {
    // Summaries start with the blank line that sets them apart.
    const std::string text = StartsWith(line, "\n") ? line.substr(1) : line;
    if (StartsWith(text, "ERROR") || StartsWith(text, "Error:") || StartsWith(text, "Critical internal error") ||
        StartsWith(text, "Tavrik finished with error(s)") || StartsWith(text, "   Account <"))
        return LineTone::Error;
    if (StartsWith(text, "WARNING") || StartsWith(text, "Warning:") || StartsWith(text, "Tavrik completed with errors"))
        return LineTone::Warning;
    return LineTone::Plain;
}

std::string Coloured(const std::string& text, LineTone tone, bool colour) {
    if (!colour || tone == LineTone::Plain) return text;
    const char* start = tone == LineTone::Error ? "\033[31m" : "\033[33m";
    const char* end = "\033[0m";
    // Each line on its own, so that no colour runs on past a line end (in a
    // pager, or after the program stopped halfway).
    std::string out;
    size_t from = 0;
    while (from <= text.size()) {
        const size_t lineEnd = text.find('\n', from);
        std::string line = text.substr(from, lineEnd == std::string::npos ? std::string::npos : lineEnd - from);
        // A carriage return stays the line's last character.
        const bool carriageReturn = !line.empty() && line.back() == '\r';
        if (carriageReturn) line.pop_back();
        if (!line.empty()) out += start + line + end;
        if (carriageReturn) out += '\r';
        if (lineEnd == std::string::npos) break;
        out += '\n';
        from = lineEnd + 1;
    }
    return out;
}

}  // namespace tavrik::cli
