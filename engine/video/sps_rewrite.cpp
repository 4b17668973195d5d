// The same-length rewrite of an SPS's aspect_ratio_idc or sar_width/sar_height, emulation prevention kept.
#include "video/sps_rewrite.h"

#include "video/nal_rbsp.h"

#include <algorithm>

namespace veltrane {

namespace {

SpsRewrite Refuse(SpsRewrite result, VideoCodec codec, const std::string& detail = {}) {
    result.kind = SpsRewrite::Kind::Refused;
    result.changes.clear();
    result.reason = RefusalText(codec, result.plan, detail);
    return result;
}

} // namespace

SpsRewrite RewriteSpsAspect(VideoCodec codec, std::span<const std::uint8_t> nal, ConversionMode mode) {
    SpsRewrite result;
    const SpsReading reading = ReadSps(codec, nal);
    if (!reading.ok) {
        result.plan.refusal = AspectRefusal::DamagedSps;
        return Refuse(std::move(result), codec, reading.failure);
    }
    const SpsInfo& sps = reading.sps;
    result.sps = sps;
    result.plan = PlanSampleAspect(codec, sps.width, sps.height, sps.vuiPresent,
                                   sps.aspectInfoPresent ? std::optional(sps.aspect) : std::nullopt, mode);
    switch (result.plan.kind) {
    case AspectPlan::Kind::Unchanged:
        result.kind = SpsRewrite::Kind::Unchanged;
        return result;
    case AspectPlan::Kind::OtherShape:
        result.kind = SpsRewrite::Kind::OtherShape;
        return result;
    case AspectPlan::Kind::Refused:
        return Refuse(std::move(result), codec);
    case AspectPlan::Kind::Change:
        break;
    }

    const Rbsp& rbsp = reading.rbsp;
    std::vector<std::uint8_t> bits = rbsp.bytes;
    if (result.plan.to.idc == EXTENDED_SAR) {
        PutBits(bits, sps.idcBit + 8, 16, result.plan.to.sarWidth);
        PutBits(bits, sps.idcBit + 24, 16, result.plan.to.sarHeight);
    } else {
        PutBits(bits, sps.idcBit, 8, result.plan.to.idc);
    }
    std::vector<std::uint8_t> rewritten(nal.begin(), nal.end());
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] != rbsp.bytes[i])
            rewritten[rbsp.nalIndex[i]] = bits[i];
    }
    for (std::uint32_t i = 0; i < rewritten.size(); ++i) {
        if (rewritten[i] != nal[i])
            result.changes.push_back({i, nal[i], rewritten[i]});
    }
    if (result.changes.empty()) {
        result.kind = SpsRewrite::Kind::Unchanged;
        return result;
    }

    // A decoder must read exactly the new RBSP from the new bytes, with the emulation prevention bytes
    // where they were, and no start code or orphaned 03 may appear around what changed.
    const std::size_t headerSize = codec == VideoCodec::H264 ? 1 : 2;
    const Rbsp check = ExtractRbsp(rewritten, headerSize);
    const std::size_t first = result.changes.front().offset;
    const std::size_t last = result.changes.back().offset;
    if (check.bytes != bits || check.nalIndex != rbsp.nalIndex ||
        BreaksEmulationPrevention(rewritten, headerSize, first < 3 ? 0 : first - 3, last + 3)) {
        const std::span<const std::uint8_t> header = nal.first(headerSize);
        const auto before = static_cast<int>(AddEmulationPrevention(header, rbsp.bytes).size());
        const auto after = static_cast<int>(AddEmulationPrevention(header, bits).size());
        result.plan.refusal = AspectRefusal::EmulationPreventionWouldChange;
        result.plan.bitsNeeded = (after - before) * 8;
        return Refuse(std::move(result), codec);
    }
    result.kind = SpsRewrite::Kind::Changed;
    return result;
}

} // namespace veltrane
