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
//
// Two condition variables, so that nobody is woken for nothing: `work_` is
// what a deliverer waits on (the delivery thread, or zqi_run delivering on
// its own thread in live mode): an event queued during a run, a run begun, a
// stop, the thread to quit.  `done_` is what zqi_run waits on while the
// delivery thread delivers: a stop, the queue drained, the thread gone.
// Delivering an event wakes no one, nor does queueing one outside a run.
class EventLoop {
public:
    void push(const char* type, size_t type_len, const char* data, size_t stored, int data_len, int flags) {
        bool wake;
        {
            Lock l(m_);
            q_.push(type, type_len, data, stored, data_len, flags);
            wake = running_ > 0;  // a deliverer waits for a run first, and run() wakes it
        }
        if (wake) work_.notify_all();
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
    // and this one only waits (not live: until the queue is empty); should
    // the thread be switched off meanwhile, this one delivers the rest.
    void run() {
        Unique l(m_);
        stop_ = false;
        ++running_;
        work_.notify_all();
        for (;;) {
            if (stop_) break;
            if (thread_) {
                done_.wait(l, [&] { return stop_ || !thread_ || (!live_ && q_.empty() && !delivering_); });
                if (thread_ || stop_) break;
            } else if (!q_.empty()) {
                deliver(l);
            } else if (!live_) {
                break;
            } else {
                work_.wait(l, [&] { return stop_ || !live_ || thread_ || !q_.empty(); });
            }
        }
        --running_;
    }

    // zqi_stop: ends the run in progress after the event being delivered.
    void stop() {
        {
            Lock l(m_);
            stop_ = true;
        }
        work_.notify_all();
        done_.notify_all();
    }

    void set_live(bool on) {
        {
            Lock l(m_);
            live_ = on;
        }
        work_.notify_all();
        done_.notify_all();
    }

    // Starts or ends the delivery thread.  Ending it waits for the event it is
    // delivering; called from that very thread (a handler), it lets it finish.
    // Each thread quits when the generation it was started in is over, so a
    // thread started at once again never keeps the old one alive.
    void set_delivery_thread(bool on) {
        Unique l(m_);
        if (on == (thread_ != nullptr)) return;
        if (on) {
            unsigned generation = generation_;
            thread_ = new std::thread([this, generation] { deliver_forever(generation); });
            l.unlock();
            work_.notify_all();  // a live run waiting to deliver itself now waits for the thread
            return;
        }
        std::thread* t = thread_;
        thread_ = nullptr;
        ++generation_;
        l.unlock();
        work_.notify_all();
        done_.notify_all();
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

    // The delivery thread: delivers queued events, in order, while a run is
    // in progress.  zqi_run's waiter is woken once the queue is drained.
    void deliver_forever(unsigned generation) {
        Unique l(m_);
        for (;;) {
            work_.wait(l, [&] { return generation_ != generation || (running_ && !stop_ && !q_.empty()); });
            if (generation_ != generation) return;
            delivering_ = true;
            deliver(l);
            delivering_ = false;
            if (q_.empty() && !live_) done_.notify_all();
        }
    }

    std::mutex m_;
    std::condition_variable work_;  // for a deliverer: event queued, run begun, stop, thread switched
    std::condition_variable done_;  // for zqi_run under the delivery thread: stop, queue drained, thread gone
    EventQueue q_;
    EventCallback cb_ = nullptr;
    bool stop_ = false;
    bool live_ = false;
    bool delivering_ = false;
    int running_ = 0;               // zqi_run calls in progress (a handler may nest one)
    unsigned generation_ = 0;       // of the delivery thread; moved on when it is switched off
    std::thread* thread_ = nullptr;  // owned; a pointer so that exit never destroys a running thread
};

}  // namespace standin
