// The plug-in's side of the request loop, shared by both exporters.
//
// The encoder writes a request code into the first 32-bit word of the parameter block and
// releases semaphore A; the plug-in answers in both blocks and releases semaphore B. Both
// blocks belong to the plug-in only between those two releases.
#pragma once

#include "hx_semaphore.h"
#include "hx_shared_memory.h"

#include <cstdint>
#include <cstring>

// What the exporter wants done after serving one request.
enum class hx_turn {
    answer,           // release semaphore B and wait for the next request
    answer_and_stop,  // release semaphore B, then leave the loop
    stop_unanswered,  // leave the loop at once, semaphore B untouched
};

// How the loop ended.
enum class hx_loop_end {
    done,       // the exporter stopped it
    aborted,    // semaphore A reported aborted (the watched encoder ended)
    cancelled,  // no request came within semaphore A's time limit and the user stopped waiting
    stopped,    // semaphore A's callback asked to stop (the user stopped the export)
};

// How one wait on semaphore A ended.
enum class hx_wait_end {
    request,  // the encoder wrote a request
    aborted,  // the watched encoder ended
    silent,   // semaphore A's time limit passed without a request
    stopped,  // semaphore A's callback asked to stop
};

inline hx_wait_end hx_await_request(hx_semaphore& semaphore_a)
{
    const DWORD result = semaphore_a.wait();
    switch (semaphore_a.aborted()) {
    case hx_not_aborted:
        return result == WAIT_TIMEOUT ? hx_wait_end::silent : hx_wait_end::request;
    case hx_aborted_by_callback:
        return hx_wait_end::stopped;
    default:
        return hx_wait_end::aborted;
    }
}

// Hands both blocks back to the encoder.
inline void hx_hand_back(hx_semaphore& semaphore_b)
{
    semaphore_b.release();
}

inline uint32_t hx_request_code(const uint8_t* param_payload)
{
    uint32_t code;
    std::memcpy(&code, param_payload, sizeof code);
    return code;
}

// Runs the loop until the exporter stops it, the wait is aborted or the user gives up on a
// silent encoder. `serve` is called with the request code for each request and returns an
// hx_turn. `keep_waiting` is called each time semaphore A's time limit passes without a
// request: true waits the same time again (a request that came meanwhile is served at once),
// false ends the loop as cancelled.
template <class Serve, class KeepWaiting>
hx_loop_end hx_serve_requests(hx_semaphore& semaphore_a, hx_semaphore& semaphore_b,
                              hx_shared_memory& param_memory, Serve&& serve, KeepWaiting&& keep_waiting)
{
    const uint8_t* const param = param_memory.data();
    for (;;) {
        const hx_wait_end wait = hx_await_request(semaphore_a);
        if (wait == hx_wait_end::aborted)
            return hx_loop_end::aborted;
        if (wait == hx_wait_end::stopped)
            return hx_loop_end::stopped;
        if (wait == hx_wait_end::silent) {
            if (!keep_waiting())
                return hx_loop_end::cancelled;
            continue;
        }
        const hx_turn turn = serve(hx_request_code(param));
        if (turn == hx_turn::stop_unanswered)
            return hx_loop_end::done;
        hx_hand_back(semaphore_b);
        if (turn == hx_turn::answer_and_stop)
            return hx_loop_end::done;
    }
}

// The stopped answer of both roads: its status word holds hx_status_stopped ("stopped by the
// user"; an encoder that knows only the other statuses sees a failed request). The Premiere
// road also writes hx_prm_stopped_mark into word 0x00, which several of its answers overwrite,
// so that an encoder already rereads it; the QuickTime road writes its done code 3 at offset 0.
constexpr int32_t hx_status_stopped = 3;
constexpr int32_t hx_prm_stopped_mark = -128;

// How long a stopped export waits for the encoder's next request, to answer it as stopped.
// Short: the host is not served meanwhile.
constexpr DWORD hx_stop_grace_ms = 300;

// After the user stopped the export: the encoder's request that is already there, or its next
// one if it comes within hx_stop_grace_ms, is answered by `answer_stopped` (which writes the
// road's "stopped by the user" answer into the parameter block) and handed back, so that an
// encoder waiting on B learns of the stop. Nothing is answered after it. True if one was.
template <class AnswerStopped>
bool hx_tell_stopped(hx_semaphore& semaphore_a, hx_semaphore& semaphore_b, AnswerStopped&& answer_stopped)
{
    if (WaitForSingleObject(semaphore_a.handle(), hx_stop_grace_ms) != WAIT_OBJECT_0)
        return false;
    answer_stopped();
    hx_hand_back(semaphore_b);
    return true;
}
