// Commits a group of copies with one wait for the device where there would be one per copy.
#include "durable_group.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace veltrane {

namespace {

// Enough copies that the device's waits are few; few enough that a group's descriptors (up to three a
// copy: the file, its folder, the file it replaces) leave room under the usual limit of 1,024.
constexpr std::size_t MAX_COPIES = 256;
// Data not yet on the device, at most: a larger copy waits for the group before it and is committed
// alone, much as a single run would.
constexpr std::int64_t MAX_BYTES = 64 << 20;
// Syncs under way at once: each mostly waits for the device, which takes them together.
constexpr std::size_t SYNC_THREADS = 16;

// A lower limit on open descriptors than the usual one bounds the group by it.
std::size_t CopiesTheDescriptorsAllow() {
#ifndef _WIN32
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const rlim_t spare = limit.rlim_cur > 64 ? (limit.rlim_cur - 64) / 3 : 1;
        return static_cast<std::size_t>(std::clamp<rlim_t>(spare, 1, MAX_COPIES));
    }
#endif
    return MAX_COPIES;
}

#ifndef _WIN32
// Runs each output's SyncData, several at a time; any thread that cannot be started leaves its share to
// the others and to the caller's thread.
void SyncAll(std::vector<std::unique_ptr<io::OutputFile>>& outputs, std::vector<char>& synced) {
    if (outputs.empty())
        return;
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < outputs.size(); i = next++)
            synced[i] = outputs[i]->SyncData() ? 1 : 0;
    };
    std::vector<std::thread> threads;
    const std::size_t wanted = std::min(outputs.size(), SYNC_THREADS) - 1;
    for (std::size_t t = 0; t < wanted; ++t) {
        try {
            threads.emplace_back(work);
        } catch (const std::exception&) {
            break;
        }
    }
    work();
    for (std::thread& thread : threads)
        thread.join();
}
#endif

} // namespace

DurableGroup::DurableGroup() : m_maxCopies(CopiesTheDescriptorsAllow()) {}

DurableGroup::~DurableGroup() = default;

bool DurableGroup::Full(std::int64_t bytes) const {
    if (m_held.empty())
        return false;
    return m_held.size() >= m_maxCopies || m_bytes + bytes > MAX_BYTES;
}

void DurableGroup::Add(std::unique_ptr<io::OutputFile> output, std::int64_t bytes) {
#ifdef _WIN32
    // Windows has no way here to sync many files at once: each is committed as a single run does.
    Result result;
    result.durable = output->Commit();
    if (!result.durable)
        result.failure = output->Failure();
    m_results.push_back(std::move(result));
    m_held.push_back(nullptr);
#else
    m_held.push_back(std::move(output));
#endif
    m_bytes += std::max<std::int64_t>(bytes, 0);
}

std::vector<DurableGroup::Result> DurableGroup::Commit() {
    std::vector<Result> results(m_held.size());
#ifdef _WIN32
    results = std::move(m_results);
    m_results.clear();
#else
    // The data of every copy first: a name given to a copy whose data is not yet on the device could
    // reach the device before it, and a power loss then leave a file of zeros under the name.
    std::vector<char> ok(m_held.size(), 0);
    SyncAll(m_held, ok);
    // Then the names, one by one, each with its check that the destination is still what was looked up.
    for (std::size_t i = 0; i < m_held.size(); ++i)
        ok[i] = ok[i] && m_held[i]->Publish();
    // Then each folder once, after the last name placed in it.
    std::map<std::pair<unsigned long long, unsigned long long>, const io::OutputFile*> synced;
    for (std::size_t i = 0; i < m_held.size(); ++i) {
        if (!ok[i])
            continue;
        const auto folder = m_held[i]->FolderIdentity();
        const auto found = synced.find(folder);
        const io::OutputFile* by = found != synced.end() ? found->second : nullptr;
        ok[i] = m_held[i]->SyncFolder(by);
        if (by == nullptr)
            synced.emplace(folder, m_held[i].get());
    }
    for (std::size_t i = 0; i < m_held.size(); ++i) {
        results[i].durable = ok[i] != 0;
        if (!ok[i])
            results[i].failure = m_held[i]->Failure();
    }
#endif
    m_held.clear();
    m_bytes = 0;
    return results;
}

} // namespace veltrane
