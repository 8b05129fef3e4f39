#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace norvel {

// What a background job ends with: its value, or the exception it threw.
template <class T>
using Outcome = std::variant<T, std::exception_ptr>;

// Runs `work` on a pool thread, then `done` with its outcome on the GUI thread, unless `context`
// (an object living there) has been destroyed by then.
template <class Work, class Done>
void runInBackground(QObject* context, Work work, Done done) {
    using T = std::invoke_result_t<Work&>;
    QPointer<QObject> receiver(context);
    QThreadPool::globalInstance()->start([receiver, work = std::move(work), done = std::move(done)]() mutable {
        auto outcome = std::make_shared<Outcome<T>>(std::exception_ptr());
        try {
            outcome->template emplace<0>(work());
        } catch (...) {
            outcome->template emplace<1>(std::current_exception());
        }
        // The application object outlives every service; the receiver is looked at on the
        // GUI thread only.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [receiver, done = std::move(done), outcome]() mutable {
                if (!receiver.isNull()) done(std::move(*outcome));
            },
            Qt::QueuedConnection);
    });
}

// Carries reports from worker threads to the GUI thread, many a second, without
// flooding its event queue: reports are merged into one pending value, and at most one call
// of `apply` is queued at a time. Safe to use from any thread, also after `context` is gone.
template <class T>
class ReportPoster : public std::enable_shared_from_this<ReportPoster<T>> {
public:
    using Apply = std::function<void(const T&)>;
    using Merge = std::function<T(const T& pending, const T& incoming)>;

    static std::shared_ptr<ReportPoster> make(QObject* context, Apply apply, Merge merge = {}) {
        return std::shared_ptr<ReportPoster>(new ReportPoster(context, std::move(apply), std::move(merge)));
    }

    void post(const T& value) {
        bool schedule = false;
        {
            std::lock_guard lock(mutex_);
            pending_ = pending_ && merge_ ? merge_(*pending_, value) : value;
            if (!scheduled_) scheduled_ = schedule = true;
        }
        if (!schedule) return;
        auto self = this->shared_from_this();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [self] { self->deliver(); }, Qt::QueuedConnection);
    }

    // Applies a pending value now (on the GUI thread).
    void flush() { deliver(); }

private:
    ReportPoster(QObject* context, Apply apply, Merge merge)
        : context_(context), apply_(std::move(apply)), merge_(std::move(merge)) {}

    void deliver() {
        std::optional<T> value;
        {
            std::lock_guard lock(mutex_);
            value.swap(pending_);
            scheduled_ = false;
        }
        if (value && !context_.isNull()) apply_(*value);
    }

    QPointer<QObject> context_;
    Apply apply_;
    Merge merge_;
    std::mutex mutex_;
    std::optional<T> pending_;
    bool scheduled_ = false;
};

}  // namespace norvel
