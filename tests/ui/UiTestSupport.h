// Shared pieces of the window tests: one offscreen QApplication for the test
// binary, and a message sink that records every message box the program
// asks for.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/EngineApi.h"

namespace lfuitest {
using namespace lf;

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "ui_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

struct RecordedMessage {
    std::string text;
    std::string caption;
};

class MessageRecorder {
public:
    MessageRecorder() {
        Instance() = this;
        SetEngineMessageSink(&MessageRecorder::Sink);
    }
    ~MessageRecorder() {
        SetEngineMessageSink(nullptr);
        Instance() = nullptr;
    }
    // Waits (processing events) until a message whose text starts with
    // prefix arrived; false after limitMs.
    bool WaitFor(const std::string& prefix, int limitMs = 5000) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < limitMs) {
            {
                std::lock_guard<std::mutex> guard(m_lock);
                for (const RecordedMessage& m : m_messages) {
                    if (m.text.compare(0, prefix.size(), prefix) == 0) return true;
                }
            }
            QTest::qWait(10);
        }
        return false;
    }
    std::vector<RecordedMessage> Messages() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_messages;
    }

private:
    static MessageRecorder*& Instance() {
        static MessageRecorder* instance = nullptr;
        return instance;
    }
    static void Sink(void*, const std::string& text, const std::string& caption, uint32_t) {
        MessageRecorder* self = Instance();
        if (self == nullptr) return;
        std::lock_guard<std::mutex> guard(self->m_lock);
        self->m_messages.push_back({text, caption});
    }
    std::mutex m_lock;
    std::vector<RecordedMessage> m_messages;
};

}  // namespace lfuitest
