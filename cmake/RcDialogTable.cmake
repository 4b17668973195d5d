# Writes a C++ table of the dialogs, strings and ids of a resource script, so that a program without the
# Windows resource compiler (the Qt one) shows the same texts at the same places, and a Qt Linguist
# translation of those texts for each other language the script holds.
# In: VELTRANE_RC (the .rc), VELTRANE_RC_IDS (its resource.h), VELTRANE_RC_TABLE (the header to write),
# VELTRANE_RC_TS_DIR (the folder for the translations, veltrane_<language>.ts).
# Out: VELTRANE_RC_TS_FILES, the translations written.
# Reads the subset veltrane.rc uses: LANGUAGE blocks (Japanese first), each with DIALOG/DIALOGEX with
# CAPTION and FONT, one control a line, and a STRINGTABLE. The table holds the Japanese block; a
# translation pairs each of its language's texts with the Japanese text in the same place, and every
# block must place the same controls at the same places. Anything it does not know stops the build
# rather than vanish quietly.

function(veltrane_rc_fail line)
    message(FATAL_ERROR "${VELTRANE_RC}: cannot read this line for the dialog table:\n${line}")
endfunction()

# An rc string literal as a C++ one: "" stands for a quote in rc.
function(veltrane_cpp_string out text)
    string(REPLACE "\"\"" "\\\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# Notes a text of the block being read under its place, `key`: the dialog and the control's index, or
# the string's id.
macro(veltrane_rc_note key text)
    string(REPLACE "\"\"" "\"" noted "${text}")
    set(${language}_${key} "${noted}")
    list(APPEND ${language}_keys ${key})
endmacro()

function(veltrane_xml out text)
    string(REPLACE "&" "&amp;" text "${text}")
    string(REPLACE "<" "&lt;" text "${text}")
    string(REPLACE ">" "&gt;" text "${text}")
    string(REPLACE "\"" "&quot;" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
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
set(language "")
file(STRINGS "${VELTRANE_RC}" rc_lines ENCODING UTF-8)
# Each block's language as Qt names it in a translation's file name.
set(qt_language_JAPANESE_DEFAULT ja)
set(qt_language_ENGLISH_ENGLISH_US en)
set(qt_language_GERMAN_GERMAN de)
set(qt_language_FRENCH_FRENCH fr)
set(qt_language_SPANISH_SPANISH_MODERN es)
set(qt_language_ITALIAN_ITALIAN it)
set(qt_language_CHINESE_CHINESE_SIMPLIFIED zh_CN)
set(languages "")
foreach(line IN LISTS rc_lines)
    if(line MATCHES "^LANGUAGE +LANG_([A-Z]+) *, *SUBLANG_([A-Z_]+)$")
        set(language ${qt_language_${CMAKE_MATCH_1}_${CMAKE_MATCH_2}})
        if(NOT language OR (NOT languages AND NOT language STREQUAL "ja"))
            veltrane_rc_fail("${line}")
        endif()
        list(APPEND languages ${language})
    elseif(line MATCHES "^LANGUAGE")
        veltrane_rc_fail("${line}")
    elseif(line MATCHES "^([A-Z_0-9]+) +DIALOG(EX)? +[0-9]+, *[0-9]+, *([0-9]+), *([0-9]+)")
        set(dialog ${CMAKE_MATCH_1})
        set(width ${CMAKE_MATCH_3})
        set(height ${CMAKE_MATCH_4})
        set(caption "\"\"")
        set(items "")
        set(item_index 0)
        set(${language}_layout_${dialog} "${width}x${height}")
    elseif(line MATCHES "^STRINGTABLE")
        set(in_strings TRUE)
    elseif(in_strings AND line MATCHES "^ +([A-Z_0-9]+) +\"(.*)\"$")
        veltrane_rc_note(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
        if(language STREQUAL "ja")
            veltrane_cpp_string(text "${CMAKE_MATCH_2}")
            string(APPEND body "inline constexpr const char* ${CMAKE_MATCH_1}_TEXT = ${text};\n")
        endif()
    elseif(line MATCHES "^END")
        if(dialog AND language STREQUAL "ja")
            string(APPEND body "\ninline constexpr DialogItem ${dialog}_ITEMS[] = {\n${items}};\n"
                               "inline constexpr DialogTemplate ${dialog}_TEMPLATE = "
                               "{${caption}, ${width}, ${height}, ${dialog}_ITEMS};\n")
        endif()
        set(dialog "")
        set(in_strings FALSE)
    elseif(dialog AND line MATCHES "^CAPTION +\"(.*)\"$")
        veltrane_rc_note(${dialog}_CAPTION "${CMAKE_MATCH_1}")
        veltrane_cpp_string(caption "${CMAKE_MATCH_1}")
    elseif(dialog AND line MATCHES "^FONT +([0-9]+), *\"([^\"]*)\"")
        # The Qt program draws every language in the Japanese dialog font and the fonts it falls back on.
        if(language STREQUAL "ja")
            set(font_points ${CMAKE_MATCH_1})
            set(font_family ${CMAKE_MATCH_2})
        endif()
    elseif(dialog AND line MATCHES "^ +([A-Z]+) +(.*)$")
        set(keyword ${CMAKE_MATCH_1})
        set(rest "${CMAKE_MATCH_2}")
        set(text "\"\"")
        math(EXPR item_index "${item_index} + 1")
        if(rest MATCHES "^\"((\"\"|[^\"])*)\", *(.*)$")
            veltrane_rc_note(${dialog}_${item_index} "${CMAKE_MATCH_1}")
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
        string(APPEND ${language}_layout_${dialog} " ${id}:${kind}:${box}")
        string(APPEND items "    {${id}, ItemKind::${kind}, ${text}, ${box}},\n")
    elseif(dialog AND NOT line MATCHES "^(STYLE|EXSTYLE|BEGIN)")
        veltrane_rc_fail("${line}")
    endif()
endforeach()

# Rewritten only when they change, so that a fresh configure does not rebuild the Qt program.
function(veltrane_write_changed path text)
    if(EXISTS "${path}")
        file(READ "${path}" previous)
    endif()
    if(NOT previous STREQUAL text)
        file(WRITE "${path}" "${text}")
    endif()
endfunction()

# Each Japanese text with the text in its place in `language`; the same Japanese text must always get the
# same translation, and every control must be where the Japanese block puts it.
function(veltrane_write_ts language ts_path)
    foreach(dialog IN ITEMS IDD_ABOUTBOX IDD_MAIN)
        if(NOT ${language}_layout_${dialog} STREQUAL ja_layout_${dialog})
            message(FATAL_ERROR "${VELTRANE_RC}: ${dialog} of the ${language} block differs from the Japanese one:\n"
                                "${${language}_layout_${dialog}}\n${ja_layout_${dialog}}")
        endif()
    endforeach()
    set(messages "")
    foreach(key IN LISTS ja_keys)
        if(NOT DEFINED ${language}_${key})
            message(FATAL_ERROR "${VELTRANE_RC}: the ${language} block has no text in the place of \"${ja_${key}}\" (${key})")
        endif()
        string(MD5 source_id "${ja_${key}}")
        if(DEFINED translation_${source_id})
            if(NOT translation_${source_id} STREQUAL ${language}_${key})
                message(FATAL_ERROR "${VELTRANE_RC}: \"${ja_${key}}\" has two ${language} texts")
            endif()
        elseif(NOT ja_${key} STREQUAL ${language}_${key})
            set(translation_${source_id} "${${language}_${key}}")
            veltrane_xml(source "${ja_${key}}")
            veltrane_xml(translation "${${language}_${key}}")
            string(APPEND messages "    <message>\n        <source>${source}</source>\n"
                                   "        <translation>${translation}</translation>\n    </message>\n")
        endif()
    endforeach()
    list(LENGTH ja_keys ja_count)
    list(LENGTH ${language}_keys count)
    if(NOT ja_count EQUAL count)
        message(FATAL_ERROR "${VELTRANE_RC}: the ${language} block has ${count} texts, the Japanese one ${ja_count}")
    endif()
    veltrane_write_changed("${ts_path}" "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<!DOCTYPE TS>
<!-- Generated from resources/veltrane.rc by cmake/RcDialogTable.cmake: edit the .rc, not this. -->
<TS version=\"2.1\" language=\"${language}\" sourcelanguage=\"ja_JP\">
<context>
    <name>veltrane</name>
${messages}</context>
</TS>
")
endfunction()

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
veltrane_write_changed("${VELTRANE_RC_TABLE}" "${table}")
set(VELTRANE_RC_TS_FILES "")
list(REMOVE_ITEM languages ja)
foreach(language IN LISTS languages)
    veltrane_write_ts(${language} "${VELTRANE_RC_TS_DIR}/veltrane_${language}.ts")
    list(APPEND VELTRANE_RC_TS_FILES "${VELTRANE_RC_TS_DIR}/veltrane_${language}.ts")
endforeach()
