// Owners for the COM and GDI resources of the form: one owner each, released in the destructor,
// movable, never copied.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <utility>

// A counted interface reference. Storing a new pointer releases the old one after the store.
template <class T> class com_ptr {
public:
    com_ptr() = default;
    explicit com_ptr(T* adopted) : p_(adopted) {}
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    com_ptr& operator=(com_ptr&& other) noexcept
    {
        reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    ~com_ptr() { reset(); }

    void reset(T* adopted = nullptr)
    {
        T* old = std::exchange(p_, adopted);
        if (old != nullptr)
            old->Release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters: releases what is held and hands out the slot.
    T** put()
    {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

private:
    T* p_ = nullptr;
};

// A BSTR that this side allocated and frees.
class bstr {
public:
    bstr() = default;
    explicit bstr(BSTR adopted) : s_(adopted) {}
    bstr(bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    bstr& operator=(bstr&& other) noexcept
    {
        std::swap(s_, other.s_);
        return *this;
    }
    bstr(const bstr&) = delete;
    bstr& operator=(const bstr&) = delete;
    ~bstr() { SysFreeString(s_); }

    BSTR get() const { return s_; }
    BSTR* put()
    {
        SysFreeString(std::exchange(s_, nullptr));
        return &s_;
    }

private:
    BSTR s_ = nullptr;
};

// The calling thread's single-threaded apartment, for the life of this object.
class com_apartment {
public:
    com_apartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    com_apartment(const com_apartment&) = delete;
    com_apartment& operator=(const com_apartment&) = delete;
    ~com_apartment()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

class gdi_font {
public:
    gdi_font() = default;
    explicit gdi_font(HFONT adopted) : font_(adopted) {}
    gdi_font(const gdi_font&) = delete;
    gdi_font& operator=(const gdi_font&) = delete;
    ~gdi_font()
    {
        if (font_ != nullptr)
            DeleteObject(font_);
    }
    void reset(HFONT adopted)
    {
        if (font_ != nullptr)
            DeleteObject(font_);
        font_ = adopted;
    }
    HFONT get() const { return font_; }

private:
    HFONT font_ = nullptr;
};

class screen_dc {
public:
    screen_dc() : dc_(GetDC(nullptr)) {}
    screen_dc(const screen_dc&) = delete;
    screen_dc& operator=(const screen_dc&) = delete;
    ~screen_dc()
    {
        if (dc_ != nullptr)
            ReleaseDC(nullptr, dc_);
    }
    HDC get() const { return dc_; }

private:
    HDC dc_;
};
