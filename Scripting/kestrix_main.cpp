// Kestrix: a one-form program that creates the Tessora encoder's automation object and calls
// each method of its ITessora interface from a button.
#include "com_handles.h"
#include "kestrix_form.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    try {
        const com_apartment apartment;
        if (FAILED(apartment.result())) {
            MessageBoxA(nullptr, "COM could not be started on this thread.", "Tessora 5 Kestrix",
                        MB_OK | MB_ICONERROR);
            return 1;
        }
        // The form, and with it the object it holds, goes before the apartment does.
        Kestrix form;
        if (!form.create(instance, show)) {
            MessageBoxA(nullptr, "The form could not be created.", "Tessora 5 Kestrix", MB_OK | MB_ICONERROR);
            return 1;
        }
        return form.run();
    } catch (...) {
        return 1;
    }
}
