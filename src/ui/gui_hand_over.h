#pragma once

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace qe {

// Hands a question to the window's thread and the answer back. `start` runs on the window's
// thread, opens its dialog without blocking and calls `done` with the answer when the dialog
// ends. A worker thread waits for the answer; the window's thread is never blocked. Asked on the
// window's thread itself (nothing may block there), it waits in a local event loop instead, so it
// cannot deadlock.
class GuiHandOver {
public:
    explicit GuiHandOver(QObject* context) : context_(context) {}

    template <typename T>
    using Start = std::function<void(std::function<void(T)> done)>;

    template <typename T>
    T Ask(Start<T> start) const {
        if (QThread::currentThread() == context_->thread()) {
            std::optional<T> answer;
            QEventLoop loop;
            start([&answer, &loop](T value) {
                answer = std::move(value);
                loop.quit();
            });
            if (!answer) {
                loop.exec();
            }
            return std::move(*answer);
        }
        auto promise = std::make_shared<std::promise<T>>();
        std::future<T> answer = promise->get_future();
        QMetaObject::invokeMethod(
            context_,
            [start = std::move(start), promise] {
                auto once = std::make_shared<std::once_flag>();
                start([promise, once](T value) {
                    std::call_once(*once, [&] { promise->set_value(std::move(value)); });
                });
            },
            Qt::QueuedConnection);
        return answer.get();
    }

private:
    QObject* context_;
};

}  // namespace qe
