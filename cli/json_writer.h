// One JSON object on one line, written by hand: the command line's machine-readable output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::cli {

// Keys are written in the order they are added; the caller never adds one twice.
class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view text);
    JsonObject& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
    JsonObject& Add(std::string_view key, std::int64_t number);
    JsonObject& Add(std::string_view key, std::uint64_t number);
    JsonObject& Add(std::string_view key, int number) { return Add(key, std::int64_t{number}); }
    JsonObject& Add(std::string_view key, double number);
    JsonObject& Add(std::string_view key, bool value);
    JsonObject& Add(std::string_view key, const JsonObject& object);
    JsonObject& Add(std::string_view key, const std::vector<std::string>& texts);
    // A file name is bytes, not text. It goes out under `key` as UTF-8 with every byte that is not
    // part of valid UTF-8 replaced by U+FFFD; when that happened the exact bytes follow under
    // key + "_hex" as lower-case hexadecimal, so that no name is ever lost or mangled silently.
    JsonObject& AddPath(std::string_view key, std::string_view bytes);

    // The object as `{...}`, no newline.
    std::string Text() const { return "{" + m_members + "}"; }

private:
    void Key(std::string_view key);
    std::string m_members;
};

// Whether the bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing past U+10FFFF).
bool IsUtf8(std::string_view bytes);

} // namespace veltrane::cli
