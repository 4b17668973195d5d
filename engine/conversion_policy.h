// The decisions every front end makes alike: which way a file turns, and how far its probe reads.
#pragma once

#include "outcomes.h"
#include "video/conversion_mode.h"

#include <functional>
#include <optional>
#include <string>

namespace veltrane {

// What a user asks for: a shape, or each file turned away from its own.
enum class AspectTarget { To16x9, To4x3, Flip };

// The direction for a file whose probe said `probed`; nothing when flip has no aspect to go by.
std::optional<ConversionMode> ChooseMode(AspectTarget target, ProbeOutcome probed);

// The probe a conversion rests on. The head of the file first (ProbeSourceAspect); where no header
// starts there, a recording may begin with more than that of other bytes, so the rest is read, nothing
// written, up to its first header, whose aspect then stands for the probe's. `stop`, asked after every
// buffer-full of that further read, ends it as HeaderNotFound.
ProbeOutcome ProbeForConversion(const std::string& path, int& aspectCode, FailureReason& failure,
                                const std::function<bool()>& stop = {});

} // namespace veltrane
