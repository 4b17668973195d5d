// Copies of a batch made durable together: one wait for the device for many files, not one each.
#pragma once

#include "io/failure_reason.h"
#include "io/file_io.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace veltrane {

// A copy is durable once its data is on the device, it has the destination's name and that name is on
// the device too. One file after another, each of these waits for the device on its own; a group
// holds complete copies under their temporary names and commits them together: every copy's data
// synced at once on threads of their own, then each given its name with the same checks a single
// commit makes, then each folder synced once. The destinations keep what they had until then, and a
// copy whose step fails is discarded alone.
//
// The group is bounded in copies and bytes, so that the descriptors it holds open and the data not yet
// on the device stay bounded; a caller commits when Full() says so. On Windows each copy is committed
// as it joins.
class DurableGroup {
public:
    // A copy's result in the group.
    struct Result {
        bool durable = false;      // the copy is on the device under its name
        io::FailureReason failure; // why not, otherwise
    };

    DurableGroup();
    // Copies never committed are discarded: their destinations stay as they were, no file is left.
    ~DurableGroup();
    DurableGroup(const DurableGroup&) = delete;
    DurableGroup& operator=(const DurableGroup&) = delete;

    // Whether a copy of `bytes` more should wait for the copies held to be committed first.
    bool Full(std::int64_t bytes = 0) const;
    // Copies held, not yet committed: the index the next one will have in Commit's results.
    std::size_t Held() const { return m_held.size(); }
    // Takes a complete output, its data written but not synced.
    void Add(std::unique_ptr<io::OutputFile> output, std::int64_t bytes);
    // Commits every copy held and empties the group: each result in the order the copies joined.
    std::vector<Result> Commit();

private:
    std::vector<std::unique_ptr<io::OutputFile>> m_held;
    std::vector<Result> m_results; // copies committed as they joined (Windows)
    std::int64_t m_bytes = 0;
    std::size_t m_maxCopies;
};

} // namespace veltrane
