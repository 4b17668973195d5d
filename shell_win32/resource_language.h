// Picks which of the resources' language blocks the window shows.
#pragma once

#include <windows.h>

namespace veltrane {

// The language of the resources' block for a user interface in `wanted`: its own block, else the block
// of another country that speaks the same language (Simplified Chinese only where it is written), else 0,
// leaving the choice to the system, which ends in English.
LANGID ResourceLanguageFor(LANGID wanted);

// Makes this thread's dialogs and strings come from the block ResourceLanguageFor the user's interface
// language gives, where the system would not pick it by itself (a French Canadian user, an Austrian one).
void SelectResourceLanguage();

} // namespace veltrane
