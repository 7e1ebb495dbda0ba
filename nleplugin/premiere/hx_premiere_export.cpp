#include "hx_premiere_export.h"

#include "hx_encoder_channel.h"

hx_premiere_export hx_module;

int32_t hx_premiere_export::create_data_memory(uint32_t size)
{
    if (!data_memory.create(hx_prm_data_name, size)) {
        close_data_memory();
        return hx_prm_failed;
    }
    return hx_prm_ok;
}

int32_t hx_premiere_export::create_param_memory(uint32_t size)
{
    if (!param_memory.create(hx_prm_param_name, size)) {
        close_param_memory();
        return hx_prm_failed;
    }
    return hx_prm_ok;
}

int32_t hx_premiere_export::create_semaphores()
{
    if (!semaphore_a.create(hx_prm_sem_a_name, hx_semaphore_initial, hx_semaphore_maximum) ||
        !semaphore_b.create(hx_prm_sem_b_name, hx_semaphore_initial, hx_semaphore_maximum)) {
        close_semaphores();
        return hx_prm_failed;
    }
    return hx_prm_ok;
}

int32_t hx_premiere_export::close_data_memory()
{
    data_memory.close();
    return hx_prm_ok;
}

int32_t hx_premiere_export::close_param_memory()
{
    param_memory.close();
    return hx_prm_ok;
}

int32_t hx_premiere_export::close_semaphores()
{
    semaphore_a.close();
    semaphore_b.close();
    return hx_prm_ok;
}

bool hx_premiere_export::launch_encoder()
{
    return hx_launch_encoder(hx_premiere_profile, &encoder);
}
