#include "app/Translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QString>
#include <QTranslator>
#include <cstdlib>
#include <string_view>

namespace lfapp {

namespace {

bool IsLanguage(std::string_view locale, std::string_view code) {
    if (locale.substr(0, code.size()) != code) return false;
    return locale.size() == code.size() || locale[code.size()] == '_' ||
           locale[code.size()] == '.' || locale[code.size()] == '@' || locale[code.size()] == '-';
}

}  // namespace

UiLanguage LanguageFromEnvironment(const EnvironmentReader& env) {
    const char* list = env("LANGUAGE");
    if (list != nullptr) {
        std::string_view rest(list);
        while (!rest.empty()) {
            const size_t colon = rest.find(':');
            const std::string_view entry = rest.substr(0, colon);
            if (IsLanguage(entry, "en")) return UiLanguage::English;
            if (IsLanguage(entry, "zh")) return UiLanguage::Chinese;
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = env(name);
        if (value == nullptr || *value == '\0') continue;
        return IsLanguage(value, "en") ? UiLanguage::English : UiLanguage::Chinese;
    }
    return UiLanguage::Chinese;
}

UiLanguage LanguageFromEnvironment() {
    return LanguageFromEnvironment([](const char* name) { return std::getenv(name); });
}

bool InstallTranslations(UiLanguage language) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return false;
    // The translators live as long as the application that uses them.
    auto* translator = new QTranslator(app);
    bool loaded = false;
    if (language == UiLanguage::English) {
        loaded = translator->load(QStringLiteral(":/i18n/lanternfish_en.qm"));
    } else {
        loaded = translator->load(QStringLiteral("qtbase_zh_CN"),
                                  QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    }
    if (!loaded) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

std::string translate(const char* context, const char* text) {
    return QCoreApplication::translate(context, text).toStdString();
}

std::string TranslateKnown(const char* context, const std::string& text) {
    std::string shown = translate(context, text.c_str());
    // A known text followed by details on further lines (a path and the
    // system's reason): the first line is translated, the details stay.
    const size_t end = text.find('\n');
    if (shown == text && end != std::string::npos) {
        shown = translate(context, text.substr(0, end).c_str()) + text.substr(end);
    }
    return shown;
}

std::string WithArguments(std::string text, std::initializer_list<std::string> values) {
    int n = 1;
    for (const std::string& value : values) {
        const std::string marker = "%" + std::to_string(n++);
        const size_t at = text.find(marker);
        if (at != std::string::npos) text.replace(at, marker.size(), value);
    }
    return text;
}

}  // namespace lfapp
