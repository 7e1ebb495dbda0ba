#include "encoder_channel.h"

#include <cstring>

channel_names channel_names::premiere()
{
    return {"TSP_PRM_NLE_PARAM_MEM", "TSP_PRM_NLE_DATA_MEM", "TSP_PRM_NLE_SEM_A", "TSP_PRM_NLE_SEM_B"};
}

channel_names channel_names::from_prefix(const std::string& prefix)
{
    return {prefix + "param", prefix + "data", prefix + "sem_a", prefix + "sem_b"};
}

bool mapped_block::open(const std::string& name)
{
    close();
    mapping_.reset(OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str()));
    if (!mapping_)
        return false;
    view_ = static_cast<uint8_t*>(MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, 0));
    if (view_ == nullptr) {
        mapping_.reset();
        return false;
    }
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(view_, &info, sizeof info);
    mapped_bytes_ = info.RegionSize;
    // Never trust a header that claims more than the view holds.
    if (mapped_bytes_ < 4 || size() > mapped_bytes_ - 4) {
        close();
        return false;
    }
    return true;
}

void mapped_block::close()
{
    if (view_ != nullptr)
        UnmapViewOfFile(view_);
    view_ = nullptr;
    mapped_bytes_ = 0;
    mapping_.reset();
}

uint32_t mapped_block::size() const
{
    if (view_ == nullptr)
        return 0;
    uint32_t n;
    std::memcpy(&n, view_, 4);
    return n;
}

uint32_t mapped_block::word(uint32_t index) const
{
    uint32_t v = 0;
    if (view_ != nullptr && (index + 1) * 4 <= size())
        std::memcpy(&v, payload() + index * 4, 4);
    return v;
}

void mapped_block::set_word(uint32_t index, uint32_t value)
{
    if (view_ != nullptr && (index + 1) * 4 <= size())
        std::memcpy(payload() + index * 4, &value, 4);
}

bool encoder_channel::open(const channel_names& names, DWORD timeout_ms)
{
    names_ = names;
    const DWORD start = GetTickCount();
    for (;;) {
        if (param_.open(names.param) && data_.open(names.data)) {
            sem_a_.reset(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, names.sem_a.c_str()));
            sem_b_.reset(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, names.sem_b.c_str()));
            if (sem_a_ && sem_b_)
                return true;
        }
        close();
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(20);
    }
}

void encoder_channel::close()
{
    param_.close();
    data_.close();
    sem_a_.reset();
    sem_b_.reset();
}

bool encoder_channel::reopen_data()
{
    return data_.open(names_.data);
}

bool encoder_channel::turn(DWORD timeout_ms, bool let_go_of_data)
{
    if (let_go_of_data)
        data_.close();
    post();
    const bool answered = WaitForSingleObject(sem_b_.get(), timeout_ms) == WAIT_OBJECT_0;
    if (let_go_of_data)
        data_.open(names_.data);
    return answered;
}

void encoder_channel::post()
{
    ReleaseSemaphore(sem_a_.get(), 1, nullptr);
}
