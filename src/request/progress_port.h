#pragma once

namespace qe {

// The window side of the progress bar, as workers see it.
class ProgressPort {
public:
    virtual ~ProgressPort() = default;

    // Shows the bar at `position` (a negative position hides it); with a positive `duration` the
    // bar then moves towards `target` over that many seconds until the next record replaces it.
    virtual void PostProgress(int position, int target = 0, int duration = 0) = 0;
};

}  // namespace qe
