// The raw 2,352-byte sectors of a CD: how to tell them and the error detection code that guards them.
#pragma once

#include <cstdint>

namespace veltrane {

inline constexpr std::uint32_t CD_SECTOR = 2352;
// A Mode 2 Form 2 sector: sync (12), header (4), subheader (8), user data (2,324), EDC (4).
inline constexpr std::uint32_t CD_FORM2_DATA = 24;
inline constexpr std::uint32_t CD_FORM2_DATA_SIZE = 2324;
inline constexpr std::uint32_t CD_FORM2_EDC = 2348;

// 00 FF x10 00, the pattern every raw sector starts with; reads twelve bytes.
bool IsCdSync(const std::uint8_t* p);
// A whole Mode 2 sector whose subheader marks it Form 2: the form video CDs carry MPEG in.
bool IsCdForm2(const std::uint8_t* sector);

// The EDC of a Form 2 sector, over its subheader and user data.
std::uint32_t CdForm2Edc(const std::uint8_t* sector);
// Stores the EDC its present bytes call for, unless the field is zero (Form 2's "not computed", which
// a player takes as it is). True when a byte of the field changed.
bool RefreshCdForm2Edc(std::uint8_t* sector);

// Where the sectors of a file begin: 0 for a raw image, after the header for a RIFF "CDXA" file (how
// a disc's Mode 2 files read through some systems), judged from the file's first bytes. False when
// they are neither.
enum class CdLayout : std::uint8_t { None, RiffCdxa, RawImage };
CdLayout FindCdSectors(const std::uint8_t* data, std::uint32_t size, std::uint32_t& origin);

} // namespace veltrane
