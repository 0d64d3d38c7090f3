// The stand-in's event loop: the queue shared by every thread, the run loop of
// zqi_run and, when switched on, a delivery thread of the stand-in's own
// (zqstub_set_live, zqstub_set_delivery_thread in standin.h).
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "core_api.h"
#include "event_queue.h"

namespace standin {

// The queue, the registered callback and the run's flags are read and written
// under one mutex, so events may be queued from any thread while a run waits
// or delivers.  The callback is always called with the mutex released: it may
// queue events, stop the run or call any core function.
class EventLoop {
public:
    void push(const char* type, size_t type_len, const char* data, size_t stored, int data_len, int flags) {
        {
            Lock l(m_);
            q_.push(type, type_len, data, stored, data_len, flags);
        }
        cv_.notify_all();
    }
    size_t size() {
        Lock l(m_);
        return q_.size();
    }
    void set_callback(EventCallback cb) {
        Lock l(m_);
        cb_ = cb;
    }
    EventCallback callback() {
        Lock l(m_);
        return cb_;
    }

    // Delivers the next queued event on the calling thread; false if none.
    bool deliver_one() {
        Unique l(m_);
        return !q_.empty() && deliver(l);
    }

    // zqi_run.  Not live: delivers until the queue is empty or stop() is
    // called.  Live: waits for events queued from any thread and delivers
    // them until stop().  With the delivery thread on, that thread delivers
    // and this one only waits (not live: until the queue is empty).
    void run() {
        Unique l(m_);
        stop_ = false;
        running_ = true;
        cv_.notify_all();
        if (thread_) {
            cv_.wait(l, [&] { return stop_ || (!live_ && q_.empty() && !delivering_); });
        } else {
            for (;;) {
                if (live_) cv_.wait(l, [&] { return stop_ || !q_.empty(); });
                if (stop_ || q_.empty()) break;
                deliver(l);
            }
        }
        running_ = false;
    }

    // zqi_stop: ends the run in progress after the event being delivered.
    void stop() {
        {
            Lock l(m_);
            stop_ = true;
        }
        cv_.notify_all();
    }

    void set_live(bool on) {
        {
            Lock l(m_);
            live_ = on;
        }
        cv_.notify_all();
    }

    // Starts or ends the delivery thread.  Ending it waits for the event it is
    // delivering; called from that very thread (a handler), it lets it finish.
    void set_delivery_thread(bool on) {
        Unique l(m_);
        if (on == (thread_ != nullptr)) return;
        if (on) {
            quit_ = false;
            thread_ = new std::thread([this] { deliver_forever(); });
            return;
        }
        std::thread* t = thread_;
        thread_ = nullptr;
        quit_ = true;
        l.unlock();
        cv_.notify_all();
        if (t->get_id() == std::this_thread::get_id()) {
            t->detach();
        } else {
            t->join();
        }
        delete t;
    }

    // zqstub_reset: no delivery thread, not live, queue empty, no stop pending.
    void clear() {
        Lock l(m_);
        q_.clear();
    }
    void reset() {
        set_delivery_thread(false);
        Lock l(m_);
        live_ = false;
        stop_ = false;
        q_.clear();
    }

private:
    using Lock = std::lock_guard<std::mutex>;
    using Unique = std::unique_lock<std::mutex>;

    // Pops one event and calls back with the mutex released; l is held again on return.
    bool deliver(Unique& l) {
        Event ev = q_.pop();
        q_.enter();
        EventCallback cb = cb_;
        l.unlock();
        if (cb) cb(ev.type, const_cast<char*>(ev.data), ev.data_len);
        l.lock();
        q_.leave();
        return true;
    }

    // The delivery thread: delivers queued events, in order, while a run is in progress.
    void deliver_forever() {
        Unique l(m_);
        for (;;) {
            cv_.wait(l, [&] { return quit_ || (running_ && !stop_ && !q_.empty()); });
            if (quit_) return;
            delivering_ = true;
            deliver(l);
            delivering_ = false;
            cv_.notify_all();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;  // queue grown, run begun, stop requested, delivery done, thread to quit
    EventQueue q_;
    EventCallback cb_ = nullptr;
    bool stop_ = false;
    bool live_ = false;
    bool running_ = false;
    bool delivering_ = false;
    bool quit_ = false;
    std::thread* thread_ = nullptr;  // owned; a pointer so that exit never destroys a running thread
};

}  // namespace standin
