// The encoder's side of a channel: it opens the four objects a plug-in created, never
// creates them, and takes turns with the plug-in on semaphores A and B.
#pragma once

#include "hx_handle.h"

#include <windows.h>

#include <cstdint>
#include <string>

struct channel_names {
    std::string param, data, sem_a, sem_b;

    static channel_names premiere();
    static channel_names from_prefix(const std::string& prefix);
};

// A mapped view of a block that the plug-in created: size header, then payload.
class mapped_block {
public:
    mapped_block() = default;
    mapped_block(const mapped_block&) = delete;
    mapped_block& operator=(const mapped_block&) = delete;
    ~mapped_block() { close(); }
    bool open(const std::string& name);
    void close();
    uint32_t size() const;
    uint8_t* payload() const { return view_ + 4; }
    uint32_t word(uint32_t index) const;
    void set_word(uint32_t index, uint32_t value);
    bool is_open() const { return view_ != nullptr; }

private:
    hx_handle mapping_;
    uint8_t* view_ = nullptr;
    SIZE_T mapped_bytes_ = 0;
};

class encoder_channel {
public:
    // Retries until all four objects exist or `timeout_ms` has passed.
    bool open(const channel_names& names, DWORD timeout_ms);
    void close();
    // Reopens the data block (the plug-in may replace it by a larger one mid-export).
    bool reopen_data();
    // Writes nothing itself: releases semaphore A and waits up to `timeout_ms` for B. With
    // `let_go_of_data` the data block is closed while the plug-in serves, so that the plug-in
    // can replace it by a larger one, and opened afresh afterwards.
    bool turn(DWORD timeout_ms, bool let_go_of_data = false);
    // Releases semaphore A without waiting for an answer (a done code that goes unanswered).
    void post();

    mapped_block& param() { return param_; }
    mapped_block& data() { return data_; }

private:
    channel_names names_;
    mapped_block param_;
    mapped_block data_;
    hx_handle sem_a_;
    hx_handle sem_b_;
};
