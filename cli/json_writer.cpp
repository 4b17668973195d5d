// Escaping for the JSON objects of --json: strings always leave as valid UTF-8.
#include "json_writer.h"

#include <cstdio>

namespace veltrane::cli {

namespace {

// Length of the well-formed UTF-8 sequence at the front of `bytes`, or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length;
    unsigned char low = 0x80; // bounds of the second byte, which rule out overlongs and surrogates
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (bytes.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

// Returns whether every byte could be passed through as UTF-8.
bool AppendString(std::string& out, std::string_view text) {
    bool exact = true;
    out += '"';
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.front());
        const std::size_t length = Utf8SequenceLength(text);
        if (length == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD REPLACEMENT CHARACTER
            exact = false;
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    out += '"';
    return exact;
}

} // namespace

bool IsUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t length = Utf8SequenceLength(bytes);
        if (length == 0)
            return false;
        bytes.remove_prefix(length);
    }
    return true;
}

void JsonObject::Key(std::string_view key) {
    if (!m_members.empty())
        m_members += ',';
    AppendString(m_members, key);
    m_members += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) {
    Key(key);
    AppendString(m_members, text);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, const std::vector<std::string>& texts) {
    Key(key);
    m_members += '[';
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0)
            m_members += ',';
        AppendString(m_members, texts[i]);
    }
    m_members += ']';
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t number) {
    Key(key);
    m_members += std::to_string(number);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::uint64_t number) {
    Key(key);
    m_members += std::to_string(number);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, double number) {
    Key(key);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", number);
    m_members += text;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
    Key(key);
    m_members += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, const JsonObject& object) {
    Key(key);
    m_members += object.Text();
    return *this;
}

JsonObject& JsonObject::AddPath(std::string_view key, std::string_view bytes) {
    Key(key);
    if (AppendString(m_members, bytes))
        return *this;
    std::string hexKey(key);
    hexKey += "_hex";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        static constexpr char digits[] = "0123456789abcdef";
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 0x0F];
    }
    return Add(hexKey, hex);
}

} // namespace veltrane::cli
