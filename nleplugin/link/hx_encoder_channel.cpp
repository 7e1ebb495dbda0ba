#include "hx_encoder_channel.h"

#include <string>

hx_encoder_channel::~hx_encoder_channel()
{
    semaphore_b_.close();
    semaphore_a_.close();
    param_memory_.close();
    data_memory_.close();
}

int32_t hx_encoder_channel::open_or_create(int32_t mode, uint32_t param_size, uint32_t data_size,
                                           const char* prefix)
{
    const std::string base = prefix != nullptr ? prefix : "";
    const std::string param = base + "param";
    const std::string data = base + "data";
    const std::string sem_a = base + "sem_a";
    const std::string sem_b = base + "sem_b";

    if (mode == hx_mode_open || mode == hx_mode_open_or_create) {
        if (open_all(param.c_str(), data.c_str(), sem_a.c_str(), sem_b.c_str()))
            return hx_channel_opened;
        // Whatever did open is let go before creating, so no wrapper is reused while open.
        close_all();
    }
    if (mode == hx_mode_create || mode == hx_mode_open_or_create) {
        if (create_all(param.c_str(), data.c_str(), sem_a.c_str(), sem_b.c_str(), param_size, data_size))
            return hx_channel_created;
    }
    close_all();
    return hx_channel_failed;
}

bool hx_encoder_channel::open_all(const char* param, const char* data, const char* sem_a, const char* sem_b)
{
    return param_memory_.open(param) && data_memory_.open(data) && semaphore_a_.open(sem_a) &&
           semaphore_b_.open(sem_b);
}

bool hx_encoder_channel::create_all(const char* param, const char* data, const char* sem_a, const char* sem_b,
                                    uint32_t param_size, uint32_t data_size)
{
    return param_memory_.create(param, param_size) && data_memory_.create(data, data_size) &&
           semaphore_a_.create(sem_a, hx_semaphore_initial, hx_semaphore_maximum) &&
           semaphore_b_.create(sem_b, hx_semaphore_initial, hx_semaphore_maximum);
}

void hx_encoder_channel::close_all()
{
    data_memory_.close();
    param_memory_.close();
    semaphore_a_.close();
    semaphore_b_.close();
}
