// The receiver of the WMI helper's trace lines, supplied by its owner.
#pragma once

#include <string>

namespace tavrik {

class TraceSink {
public:
    virtual ~TraceSink() = default;
    // `level` is a severity; the WMI helper always passes 0.
    virtual void Trace(int level, const std::wstring& text) = 0;
};

}  // namespace tavrik
