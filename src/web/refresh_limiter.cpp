#include "web/refresh_limiter.h"

#include <algorithm>

#include "core/clock.h"

bool RefreshLimiter::admit(EditorId editor)
{
    const uint64_t now = clock.nowMs();
    const auto [found, first] = paces.try_emplace(editor);
    Pace& pace = found->second;
    if (first || now - pace.answeredMs >= intervalMs) {
        pace.answeredMs = now;
        return true;
    }
    if (!pace.held) {
        pace.held = true;
        ++heldCount;
    }
    return false;
}

std::vector<EditorId> RefreshLimiter::takeDue()
{
    std::vector<EditorId> due;
    if (heldCount == 0)
        return due;
    const uint64_t now = clock.nowMs();
    for (auto& [editor, pace] : paces) {
        if (pace.held && now - pace.answeredMs >= intervalMs) {
            pace.held = false;
            pace.answeredMs = now;
            --heldCount;
            due.push_back(editor);
        }
    }
    return due;
}

uint64_t RefreshLimiter::nextDueMs() const
{
    uint64_t next = UINT64_MAX;
    if (heldCount == 0)
        return next;
    for (const auto& [editor, pace] : paces) {
        if (pace.held)
            next = std::min(next, pace.answeredMs + intervalMs);
    }
    return next;
}

void RefreshLimiter::forget(EditorId editor)
{
    const auto found = paces.find(editor);
    if (found == paces.end())
        return;
    if (found->second.held)
        --heldCount;
    paces.erase(found);
}
