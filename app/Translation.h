// The language of the texts the user reads. The program's own texts are
// Chinese and shown as they are; English is a translation
// (app/i18n/lanternfish_en.ts, compiled and embedded at build time) used
// when the user's locale asks for English. Log lines, INI keys and
// statistics texts are never translated.
#pragma once

#include <QtGlobal>  // QT_TRANSLATE_NOOP marks texts translated where they are shown
#include <functional>
#include <initializer_list>
#include <string>

namespace lfapp {

enum class UiLanguage { Chinese, English };

using EnvironmentReader = std::function<const char*(const char*)>;
// LANGUAGE first (a colon-separated list: its first English or Chinese entry
// decides), then the first of LC_ALL, LC_MESSAGES and LANG that is set and
// not empty: English when it names English ("en", "en_GB.UTF-8"), Chinese
// for every other locale, C and POSIX included.
UiLanguage LanguageFromEnvironment(const EnvironmentReader& env);
UiLanguage LanguageFromEnvironment();

// Installs the translators of `language` into the running QCoreApplication:
// the program's English texts, or Qt's own Chinese texts (standard buttons,
// the folder browser) from Qt's translations folder. Returns false when
// one could not be loaded.
bool InstallTranslations(UiLanguage language);

// The text as the user reads it: its translation in the installed
// language, else the text itself. Named for lupdate, which collects the
// texts of every translate("context", "text") call.
std::string translate(const char* context, const char* text);
// A text that came from elsewhere (a message, a caption) looked up in a
// context: unknown texts come back unchanged.
std::string TranslateKnown(const char* context, const std::string& text);
// A translated text with its markers %1, %2, ... replaced by `values` in
// order (the translation may move them).
std::string WithArguments(std::string text, std::initializer_list<std::string> values);

}  // namespace lfapp
