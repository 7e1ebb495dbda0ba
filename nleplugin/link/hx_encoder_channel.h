// The four named objects of one export: parameter block, data block, semaphore A (the
// encoder has written a request) and semaphore B (the plug-in has answered).
#pragma once

#include "hx_semaphore.h"
#include "hx_shared_memory.h"

#include <cstdint>

// Semaphores A and B start at 0 and never count above 1.
constexpr LONG hx_semaphore_initial = 0;
constexpr LONG hx_semaphore_maximum = 1;

// Results of open_or_create.
constexpr int32_t hx_channel_created = 0;
constexpr int32_t hx_channel_opened = 1;
constexpr int32_t hx_channel_failed = 2;

// Modes of open_or_create.
constexpr int32_t hx_mode_create = 0;
constexpr int32_t hx_mode_open = 1;
constexpr int32_t hx_mode_open_or_create = 2;

class hx_encoder_channel {
public:
    hx_encoder_channel() = default;
    hx_encoder_channel(const hx_encoder_channel&) = delete;
    hx_encoder_channel& operator=(const hx_encoder_channel&) = delete;
    // Closes semaphore B, semaphore A, the parameter block and the data block.
    virtual ~hx_encoder_channel();

    // Names are prefix + "param" / "data" / "sem_a" / "sem_b". Mode 0 creates, 1 opens,
    // 2 opens and creates what it could not open. Returns 0 created, 1 opened, 2 failed
    // (then nothing is held).
    int32_t open_or_create(int32_t mode, uint32_t param_size, uint32_t data_size, const char* prefix);
    // Closes the data block, the parameter block, semaphore A and semaphore B.
    void close_all();

    hx_shared_memory& data_memory() { return data_memory_; }
    hx_shared_memory& param_memory() { return param_memory_; }
    hx_semaphore& semaphore_a() { return semaphore_a_; }
    hx_semaphore& semaphore_b() { return semaphore_b_; }

private:
    bool open_all(const char* param, const char* data, const char* sem_a, const char* sem_b);
    bool create_all(const char* param, const char* data, const char* sem_a, const char* sem_b,
                    uint32_t param_size, uint32_t data_size);

    hx_shared_memory data_memory_;
    hx_shared_memory param_memory_;
    hx_semaphore semaphore_a_;
    hx_semaphore semaphore_b_;
};
