// Windows on Win32: a native window per platform window (a message-only one when headless), its picture
// in a DIB section shown with BitBlt in WM_PAINT, and the native messages handed to the application's
// window procedure.
#include "platform/window_backend.h"
#include "platform/win32/internal.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// A title bar with system menu and minimise box: no maximise box, no sizing border.
constexpr DWORD main_style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// The backend's part of a platform window. Never freed, as platform windows are not: another thread may
// still post to a window that is being destroyed, and finds a null handle rather than freed memory.
struct native_window {
    std::atomic<HWND> hwnd{nullptr};
    HDC dc = nullptr;              // memory device context holding the picture
    HBITMAP bitmap = nullptr;      // the DIB section: top-down 32-bit pixels, 0x00RRGGBB
    HGDIOBJ previous = nullptr;    // the bitmap the memory context came with
    uint32_t* bits = nullptr;
    int width = 0, height = 0;
};

native_window* native_of(const platform_window* window)
{
    return window != nullptr ? static_cast<native_window*>(window->native) : nullptr;
}

// The messages the application's procedure knows, besides those the window layer sends itself
// (create, size, destroy, paint): input, focus, close requests, timers and the user range.
bool forwarded(UINT message)
{
    switch (message) {
    case WM_KILLFOCUS:
    case WM_CLOSE:
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
    case WM_TIMER:
        return true;
    default:
        return message >= WM_USER && message < 0xC000;  // registered message numbers stay the system's
    }
}

void paint(HWND hwnd, native_window* native)
{
    PAINTSTRUCT ps;
    HDC target = BeginPaint(hwnd, &ps);
    if (target != nullptr && native->dc != nullptr)
        BitBlt(target, 0, 0, native->width, native->height, native->dc, 0, 0, SRCCOPY);
    EndPaint(hwnd, &ps);
}

LRESULT CALLBACK native_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* window = reinterpret_cast<platform_window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (window == nullptr || native_of(window) == nullptr)
        return DefWindowProcA(hwnd, message, wparam, lparam);
    switch (message) {
    case WM_PAINT:
        paint(hwnd, native_of(window));
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the picture covers the client area: erasing first would only flicker
    case WM_ENDSESSION:
        // The system is ending the session: the process ends when this returns, so shut down now.
        if (wparam)
            window_send(window, WM_CLOSE, 0, 0);
        return 0;
    default:
        break;
    }
    if (message >= WM_USER && win32_socket_message(window, message, wparam, lparam))
        return 0;
    if (forwarded(message))
        return window_send(window, message, wparam, lparam);
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

// One native class per application class, so the system sees the application's class names.
bool register_native_class(const char* name)
{
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = native_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = name;
    return RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The window's picture: a white DIB section of the client size, selected into a memory context.
void create_picture(native_window* native, int width, int height)
{
    if (width <= 0 || height <= 0)
        return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down, as the canvas holds its rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    native->bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    native->dc = CreateCompatibleDC(nullptr);
    if (native->bitmap == nullptr || native->dc == nullptr || bits == nullptr)
        return;
    native->previous = SelectObject(native->dc, native->bitmap);
    native->bits = static_cast<uint32_t*>(bits);
    native->width = width;
    native->height = height;
    std::fill_n(native->bits, static_cast<size_t>(width) * height, 0xFFFFFFu);
}

void destroy_picture(native_window* native)
{
    if (native->dc != nullptr && native->previous != nullptr)
        SelectObject(native->dc, native->previous);
    if (native->dc != nullptr)
        DeleteDC(native->dc);
    if (native->bitmap != nullptr)
        DeleteObject(native->bitmap);
    native->dc = nullptr;
    native->bitmap = nullptr;
    native->previous = nullptr;
    native->bits = nullptr;
}

HWND create_native(platform_window* window)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    const char* name = window->class_name.c_str();
    HWND hwnd = nullptr;
    if (!window_system_headless()) {
        RECT outer{0, 0, window->width, window->height};
        AdjustWindowRectEx(&outer, main_style, FALSE, 0);
        hwnd = CreateWindowExA(0, name, window->title.c_str(), main_style, window->x, window->y,
                               outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr, instance, window);
    }
    // Headless, or no top-level window to be had: timers, posts and socket events still need a window.
    if (hwnd == nullptr && !window_system_headless())
        window_report_problem("no window \"" + window->title + "\": " + win32_error_text(GetLastError()));
    if (hwnd == nullptr)
        hwnd = CreateWindowExA(0, name, window->title.c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, window);
    return hwnd;
}

} // namespace

HWND win32_window_handle(const platform_window* window)
{
    native_window* native = native_of(window);
    return native != nullptr ? native->hwnd.load() : nullptr;
}

bool video_start()
{
    // A desktop to show windows on: a hidden top-level window can be made (not so under Wine without an
    // X display, where every later window would fail too). Never shown, it is destroyed at no cost.
    const char* probe_class = "QuillonDisplayProbe";
    HWND probe = nullptr;
    if (register_native_class(probe_class))
        probe = CreateWindowExA(0, probe_class, "", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    if (probe == nullptr) {
        window_report_problem(std::string("no desktop to show windows on: ") + win32_error_text(GetLastError()));
        return false;
    }
    DestroyWindow(probe);
    return true;
}

void video_stop()
{
}

void video_create(platform_window* window)
{
    if (!register_native_class(window->class_name.c_str()))
        return;
    auto* native = new native_window;
    if (!window_system_headless())
        create_picture(native, window->width, window->height);
    // Published before the native window exists: its creation messages already look the window up.
    window->native = native;
    native->hwnd = create_native(window);
}

void video_destroy(platform_window* window)
{
    native_window* native = native_of(window);
    if (native == nullptr)
        return;
    HWND hwnd = native->hwnd.exchange(nullptr);
    if (hwnd != nullptr)
        DestroyWindow(hwnd);
    destroy_picture(native);
}

void video_show(platform_window* window)
{
    HWND hwnd = win32_window_handle(window);
    if (hwnd == nullptr)
        return;
    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
}

void video_present(platform_window* window)
{
    native_window* native = native_of(window);
    HWND hwnd = win32_window_handle(window);
    if (native == nullptr || hwnd == nullptr || native->bits == nullptr ||
        window->shown.size() != static_cast<size_t>(native->width) * native->height)
        return;
    GdiFlush();  // GDI may still be reading the bitmap from the last paint
    std::memcpy(native->bits, window->shown.data(), window->shown.size() * sizeof(uint32_t));
    InvalidateRect(hwnd, nullptr, FALSE);
}

void video_pump_input()
{
    // Input arrives through the message loop as native messages.
}
