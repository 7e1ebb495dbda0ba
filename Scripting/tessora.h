// The encoder's automation class as Kestrix uses it: its identity and the custom interface
// ITessora. ITessora derives from IUnknown directly; the order of the methods below is the
// order of the slots (3 to 14) and must never change.
#pragma once

#include <windows.h>

#include <oleauto.h>

// {50D994EE-8834-11D3-8BBE-0000E85F332D}
inline constexpr CLSID CLSID_Tessora = {
    0x50D994EE, 0x8834, 0x11D3, {0x8B, 0xBE, 0x00, 0x00, 0xE8, 0x5F, 0x33, 0x2D}};
// {50D994ED-8834-11D3-8BBE-0000E85F332D}
inline constexpr IID IID_ITessora = {
    0x50D994ED, 0x8834, 0x11D3, {0x8B, 0xBE, 0x00, 0x00, 0xE8, 0x5F, 0x33, 0x2D}};
inline constexpr wchar_t tessora_progid[] = L"TessoraLib.Tessora";

// String arguments are BSTRs owned by the caller for the duration of the call only.
struct ITessora : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetDestination(BSTR destination) = 0;         // 3
    virtual HRESULT STDMETHODCALLTYPE SetSettingAlts(BSTR alternatives) = 0;        // 4
    virtual HRESULT STDMETHODCALLTYPE SelectAllItems() = 0;                         // 5
    virtual HRESULT STDMETHODCALLTYPE StartEncoding(BSTR destination, LONG n) = 0;  // 6
    virtual HRESULT STDMETHODCALLTYPE SuspendEncoding() = 0;                        // 7
    virtual HRESULT STDMETHODCALLTYPE SetSetting(BSTR setting) = 0;                 // 8
    virtual HRESULT STDMETHODCALLTYPE SetXMLSetting(BSTR xml) = 0;                  // 9
    virtual HRESULT STDMETHODCALLTYPE SetItemDestination(BSTR destination) = 0;     // 10
    virtual HRESULT STDMETHODCALLTYPE AddItem(BSTR item) = 0;                       // 11
    virtual HRESULT STDMETHODCALLTYPE ClearItems() = 0;                             // 12
    virtual HRESULT STDMETHODCALLTYPE IsReady(LONG* ready) = 0;                     // 13
    virtual HRESULT STDMETHODCALLTYPE ExitEncoder() = 0;                            // 14
};
