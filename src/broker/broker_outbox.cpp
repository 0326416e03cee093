#include "broker/broker_outbox.h"

#include <algorithm>

size_t BrokerOutbox::push(Publication publication, uint64_t nowMs)
{
    droppedNow = 0;
    const std::string key = publication.paceKey.empty() ? publication.topic : publication.paceKey;
    if (publication.kind == Publication::Kind::progress) {
        const auto last = lastProgressMs.find(key);
        if (last != lastProgressMs.end() && nowMs < last->second + progressIntervalMs) {
            held[key] = Held{std::move(publication), last->second + progressIntervalMs};
            return 0;
        }
        lastProgressMs[key] = nowMs;
    } else {
        // What comes after progress (the end of a write, a reply) says more than the progress held before it.
        held.erase(key);
        lastProgressMs.erase(key);
    }
    enqueue(std::move(publication));
    return droppedNow;
}

void BrokerOutbox::releaseDue(uint64_t nowMs)
{
    for (auto entry = held.begin(); entry != held.end();) {
        if (entry->second.dueMs > nowMs) {
            ++entry;
            continue;
        }
        lastProgressMs[entry->first] = nowMs;
        enqueue(std::move(entry->second.publication));
        entry = held.erase(entry);
    }
    // A pace whose interval has ended no longer holds anything back: keys of replies come and go with their commands.
    for (auto entry = lastProgressMs.begin(); entry != lastProgressMs.end();) {
        if (entry->second + progressIntervalMs <= nowMs && held.count(entry->first) == 0)
            entry = lastProgressMs.erase(entry);
        else
            ++entry;
    }
}

uint64_t BrokerOutbox::nextDueMs() const
{
    uint64_t due = UINT64_MAX;
    for (const auto& entry : held)
        due = std::min(due, entry.second.dueMs);
    return due;
}

void BrokerOutbox::enqueue(Publication publication)
{
    if (publication.kind == Publication::Kind::state) {
        // Only the newest state of a topic matters; the one waiting is replaced where it stands.
        for (Publication& queued : waiting) {
            if (queued.kind == Publication::Kind::state && queued.topic == publication.topic) {
                waitingBytes += publication.payload.size();
                waitingBytes -= queued.payload.size();
                queued = std::move(publication);
                return;
            }
        }
    }
    while (!waiting.empty() &&
           (waiting.size() >= maxWaiting || waitingBytes + publication.payload.size() > maxWaitingBytes)) {
        if (!dropOldest(Publication::Kind::progress) && !dropOldest(Publication::Kind::other) &&
            !dropOldest(Publication::Kind::outcome))
            break;
        ++dropped;
        ++droppedNow;
    }
    waitingBytes += publication.payload.size();
    waiting.push_back(std::move(publication));
}

bool BrokerOutbox::dropOldest(Publication::Kind kind)
{
    const auto found = std::find_if(waiting.begin(), waiting.end(),
                                    [kind](const Publication& publication) { return publication.kind == kind; });
    if (found == waiting.end())
        return false;
    waitingBytes -= found->payload.size();
    waiting.erase(found);
    return true;
}
