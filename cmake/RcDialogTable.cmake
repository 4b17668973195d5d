# Writes a C++ table of the dialogs, strings and ids of a resource script, so that a program without the
# Windows resource compiler (the Qt one) shows the same texts at the same places.
# In: VELTRANE_RC (the .rc), VELTRANE_RC_IDS (its resource.h), VELTRANE_RC_TABLE (the header to write).
# Reads the subset veltrane.rc uses: DIALOG/DIALOGEX with CAPTION and FONT, one control a line, and a
# STRINGTABLE. Anything it does not know inside a dialog stops the build rather than vanish quietly.

function(veltrane_rc_fail line)
    message(FATAL_ERROR "${VELTRANE_RC}: cannot read this line for the dialog table:\n${line}")
endfunction()

# An rc string literal as a C++ one: "" stands for a quote in rc.
function(veltrane_cpp_string out text)
    string(REPLACE "\"\"" "\\\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

set(ids "    inline constexpr int IDOK = 1;\n    inline constexpr int IDCANCEL = 2;\n")
file(STRINGS "${VELTRANE_RC_IDS}" id_lines REGEX "^#define ")
foreach(line IN LISTS id_lines)
    if(line MATCHES "^#define ([A-Za-z_0-9]+) +\\(?(-?(0x)?[0-9A-Fa-f]+)\\)?$")
        string(APPEND ids "    inline constexpr int ${CMAKE_MATCH_1} = ${CMAKE_MATCH_2};\n")
    endif()
endforeach()

set(body "")
set(dialog "")
set(in_strings FALSE)
file(STRINGS "${VELTRANE_RC}" rc_lines ENCODING UTF-8)
foreach(line IN LISTS rc_lines)
    if(line MATCHES "^([A-Z_0-9]+) +DIALOG(EX)? +[0-9]+, *[0-9]+, *([0-9]+), *([0-9]+)")
        set(dialog ${CMAKE_MATCH_1})
        set(width ${CMAKE_MATCH_3})
        set(height ${CMAKE_MATCH_4})
        set(caption "\"\"")
        set(items "")
    elseif(line MATCHES "^STRINGTABLE")
        set(in_strings TRUE)
    elseif(in_strings AND line MATCHES "^ +([A-Z_0-9]+) +\"(.*)\"$")
        veltrane_cpp_string(text "${CMAKE_MATCH_2}")
        string(APPEND body "inline constexpr const char* ${CMAKE_MATCH_1}_TEXT = ${text};\n")
    elseif(line MATCHES "^END")
        if(dialog)
            string(APPEND body "\ninline constexpr DialogItem ${dialog}_ITEMS[] = {\n${items}};\n"
                               "inline constexpr DialogTemplate ${dialog}_TEMPLATE = "
                               "{${caption}, ${width}, ${height}, ${dialog}_ITEMS};\n")
        endif()
        set(dialog "")
        set(in_strings FALSE)
    elseif(dialog AND line MATCHES "^CAPTION +\"(.*)\"$")
        veltrane_cpp_string(caption "${CMAKE_MATCH_1}")
    elseif(dialog AND line MATCHES "^FONT +([0-9]+), *\"([^\"]*)\"")
        set(font_points ${CMAKE_MATCH_1})
        set(font_family ${CMAKE_MATCH_2})
    elseif(dialog AND line MATCHES "^ +([A-Z]+) +(.*)$")
        set(keyword ${CMAKE_MATCH_1})
        set(rest "${CMAKE_MATCH_2}")
        set(text "\"\"")
        if(rest MATCHES "^\"((\"\"|[^\"])*)\", *(.*)$")
            veltrane_cpp_string(text "${CMAKE_MATCH_1}")
            set(rest "${CMAKE_MATCH_3}")
        endif()
        string(REPLACE " " "" rest "${rest}")
        string(REPLACE "," ";" fields "${rest}")
        if(keyword STREQUAL "ICON")
            list(REMOVE_AT fields 0) # the icon shown, not the control's id
        endif()
        list(GET fields 0 id)
        if(keyword STREQUAL "CONTROL")
            list(GET fields 1 class)
            list(GET fields 2 style)
            list(SUBLIST fields 3 4 box)
            if(class STREQUAL "\"Button\"" AND style MATCHES "BS_AUTORADIOBUTTON")
                set(kind RadioButton)
            elseif(class STREQUAL "\"msctls_progress32\"")
                set(kind Progress)
            else()
                veltrane_rc_fail("${line}")
            endif()
        else()
            list(SUBLIST fields 1 4 box)
            set(kinds_LTEXT Label)
            set(kinds_EDITTEXT Edit)
            set(kinds_PUSHBUTTON PushButton)
            set(kinds_DEFPUSHBUTTON DefaultPushButton)
            set(kinds_GROUPBOX GroupBox)
            set(kinds_ICON Icon)
            set(kind ${kinds_${keyword}})
            if(NOT kind)
                veltrane_rc_fail("${line}")
            endif()
        endif()
        list(LENGTH box box_size)
        if(NOT box_size EQUAL 4)
            veltrane_rc_fail("${line}")
        endif()
        list(JOIN box ", " box)
        string(APPEND items "    {${id}, ItemKind::${kind}, ${text}, ${box}},\n")
    elseif(dialog AND NOT line MATCHES "^(STYLE|EXSTYLE|BEGIN)")
        veltrane_rc_fail("${line}")
    endif()
endforeach()

string(REPLACE "    inline" "inline" ids "${ids}")
get_filename_component(rc_name "${VELTRANE_RC}" NAME)
set(table "// Generated from resources/${rc_name} by cmake/RcDialogTable.cmake: edit the .rc, not this.
#pragma once

namespace veltrane::res {

${ids}
// The dialog font: asked for by name; where it is missing the font system picks a stand-in.
inline constexpr const char* DIALOG_FONT_FAMILY = \"${font_family}\";
inline constexpr int DIALOG_FONT_POINTS = ${font_points};
${body}
} // namespace veltrane::res
")
# Rewritten only when it changes, so that a fresh configure does not rebuild the Qt program.
if(EXISTS "${VELTRANE_RC_TABLE}")
    file(READ "${VELTRANE_RC_TABLE}" previous)
endif()
if(NOT previous STREQUAL table)
    file(WRITE "${VELTRANE_RC_TABLE}" "${table}")
endif()
