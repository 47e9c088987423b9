#pragma once

#include <functional>
#include <future>
#include <ostream>

#include <QApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <QWidget>

// gtest shows a QString as its text, not as the bytes of the object.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace qe::test {

// Processes the window thread's events until `done` holds; false when `ms` ran out first.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 20000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The visible window (or, on Wayland, the sheet's dialog) of a type; null when none is open.
template <typename T>
T* VisibleWindow() {
    for (QWidget* w : QApplication::allWidgets()) {
        if (auto* t = qobject_cast<T*>(w); t != nullptr && t->isVisible()) {
            return t;
        }
    }
    return nullptr;
}

// The visible top-level window of a type, waiting for it to open; null when none opened.
template <typename T>
T* WaitForWindow(int ms = 20000) {
    T* found = nullptr;
    WaitUntil([&found] { return (found = VisibleWindow<T>()) != nullptr; }, ms);
    return found;
}

// Answers the next window of a type once it shows, from the window thread's event loop (for
// calls made on the window's thread itself, which wait in a loop of their own).
template <typename T>
void AnswerWhenShown(std::function<void(T*)> answer, int attempts = 1000) {
    QTimer::singleShot(10, [answer = std::move(answer), attempts] {
        if (T* t = VisibleWindow<T>(); t != nullptr) {
            answer(t);
        } else if (attempts > 0) {
            AnswerWhenShown<T>(answer, attempts - 1);
        }
    });
}

// Runs `call` on a thread of its own, as a worker would, while the test drives the window.
template <typename F>
auto OnWorker(F call) {
    return std::async(std::launch::async, std::move(call));
}

// The result of a worker call once the window thread has let it finish.
template <typename T>
T Finish(std::future<T>& call) {
    WaitUntil(
        [&call] { return call.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return call.get();
}

}  // namespace qe::test
