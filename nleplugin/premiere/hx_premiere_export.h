// The Premiere module's one object: the host's standard parameters of the current call and
// the four objects of the encoder channel under their fixed names.
#pragma once

#include "hx_encoder_locator.h"
#include "hx_semaphore.h"
#include "hx_shared_memory.h"
#include "prm_host.h"

#include <cstdint>

constexpr char hx_prm_data_name[] = "TSP_PRM_NLE_DATA_MEM";
constexpr char hx_prm_param_name[] = "TSP_PRM_NLE_PARAM_MEM";
constexpr char hx_prm_sem_a_name[] = "TSP_PRM_NLE_SEM_A";
constexpr char hx_prm_sem_b_name[] = "TSP_PRM_NLE_SEM_B";
constexpr uint32_t hx_prm_param_size = 1048;
constexpr uint32_t hx_prm_min_data_size = 0x200000;

// Results of the channel operations.
constexpr int32_t hx_prm_ok = 0;
constexpr int32_t hx_prm_failed = 4;

class hx_premiere_export {
public:
    prm_standard_parameters* standard = nullptr;
    hx_shared_memory data_memory;
    hx_shared_memory param_memory;
    hx_semaphore semaphore_a;
    hx_semaphore semaphore_b;
    // The encoder serving the current export, watched while waiting for its requests.
    hx_handle encoder;

    int32_t create_data_memory(uint32_t size);
    int32_t create_param_memory(uint32_t size);
    int32_t create_semaphores();
    int32_t close_data_memory();
    int32_t close_param_memory();
    int32_t close_semaphores();

    // Starts the installed encoder (no window was found). False after an error message.
    bool launch_encoder();
};

extern hx_premiere_export hx_module;
