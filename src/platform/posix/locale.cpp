/*
 * The system's language, from the locale environment.
 *
 * The first of LC_ALL, LC_MESSAGES and LANG that is set and not empty names
 * the locale, as for any POSIX program; its language ("de" of
 * "de_DE.UTF-8@euro") gives the Windows language with the first sublanguage.
 * The country counts only for Chinese, whose script it tells.  No locale,
 * "C", "POSIX" or a language not known here is English (United States).
 */
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "objects.h"

namespace {

const LCID kEnglishUs = 0x0409;

struct Language {
    const char *code;
    WORD primary;
};

const Language kLanguages[] = {
    {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06}, {"de", 0x07},
    {"el", 0x08}, {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C}, {"he", 0x0D}, {"hu", 0x0E},
    {"is", 0x0F}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12}, {"nl", 0x13}, {"no", 0x14}, {"nb", 0x14},
    {"pl", 0x15}, {"pt", 0x16}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1A}, {"sk", 0x1B}, {"sv", 0x1D},
    {"th", 0x1E}, {"tr", 0x1F}, {"uk", 0x22},
};

const char *locale_name()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') return value;
    }
    return nullptr;
}

} // namespace

LCID WINAPI GetSystemDefaultLCID(void)
{
    const char *name = locale_name();
    if (name == nullptr) return kEnglishUs;
    const size_t length = std::strcspn(name, "_.@");
    std::string language(name, length);
    for (char &c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const Language &known : kLanguages) {
        if (language != known.code) continue;
        if (known.primary != 0x04) return MAKELANGID(known.primary, 1);
        /* Traditional script in Taiwan and Hong Kong, simplified elsewhere. */
        const bool traditional = name[length] == '_' && (std::strncmp(name + length + 1, "TW", 2) == 0 ||
                                                         std::strncmp(name + length + 1, "HK", 2) == 0);
        return MAKELANGID(0x04, traditional ? 1 : 2);
    }
    return kEnglishUs;
}

LANGID WINAPI GetSystemDefaultLangID(void)
{
    return static_cast<LANGID>(GetSystemDefaultLCID() & 0xFFFF);
}
