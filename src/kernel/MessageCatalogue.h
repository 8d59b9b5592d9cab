// The message catalogue: every user-visible text of the shell, the window and the session
// by numeric id, in English (language 9), German (1031), French (1036) and Russian (1049).
#pragma once

#include <cstdint>
#include <string>

constexpr std::size_t kMessageBufferUnits = 256;

// The language texts are loaded in. 0 (the start) follows the user's locale (LC_ALL,
// LC_MESSAGES, LANG), with English where no table matches.
void SetMessageLanguage(std::uint16_t language);
std::uint16_t GetMessageLanguage();

// The language a locale name ("de_DE.UTF-8", "fr", "C") maps to; 9 where no table matches.
std::uint16_t LanguageForLocale(const std::string& locale);

// The message, or an empty text when its block or entry does not exist in the current
// language (no fallback to another language).
std::wstring LoadMessage(std::uint32_t id);
// LoadMessage into a buffer of kMessageBufferUnits units, cut if needed, zero-terminated.
wchar_t* LoadMessageInto(std::uint32_t id, wchar_t* buffer);
