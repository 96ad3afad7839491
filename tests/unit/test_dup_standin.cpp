// The GDI duplication against a real device and screen: first frame, no frame
// while nothing changes (and never a late answer), a frame after a change,
// opaque pixels, and the call-order errors of a real duplication.
#include "agent/capture/dup_standin.h"
#include <gtest/gtest.h>
#include <d3d11.h>

namespace {

struct standin_fixture : ::testing::Test {
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    IDXGIOutputDuplication* dup = nullptr;
    HWND window = nullptr;
    RECT rect = {0, 0, 320, 240};

    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                                   D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, D3D11_SDK_VERSION,
                                                   &device, nullptr, &context));
        ASSERT_HRESULT_SUCCEEDED(dup_standin_create(device, &rect, &dup));
    }
    void TearDown() override {
        if (window) DestroyWindow(window);
        if (dup) dup->Release();
        if (context) context->Release();
        if (device) device->Release();
    }

    static LRESULT CALLBACK colour_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_PAINT) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(w, &ps);
            HBRUSH b = CreateSolidBrush((COLORREF)GetWindowLongPtrW(w, GWLP_USERDATA));
            RECT r;
            GetClientRect(w, &r);
            FillRect(dc, &r, b);
            DeleteObject(b);
            EndPaint(w, &ps);
            return 0;
        }
        return DefWindowProcW(w, msg, wp, lp);
    }

    static void pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }

    // A window of ours over the duplicated area, filled with one colour.
    void paint(COLORREF colour) {
        if (!window) {
            WNDCLASSW wc{};
            wc.lpfnWndProc = colour_proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"IvraStandinTest";
            RegisterClassW(&wc);
            window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, wc.lpszClassName, L"", WS_POPUP, 20, 20, 100, 80,
                                     nullptr, nullptr, wc.hInstance, nullptr);
            ASSERT_NE(window, nullptr);
        }
        SetWindowLongPtrW(window, GWLP_USERDATA, (LONG_PTR)colour);
        ShowWindow(window, SW_SHOWNOACTIVATE);
        InvalidateRect(window, nullptr, FALSE);
        UpdateWindow(window);
        GdiFlush();
        pump();
    }

    // Acquires until the frame shows want at (50, 50) or 5 s pass; true when it did.
    // The window reaches the screen a little after it is drawn.
    bool acquire_showing(uint32_t want, UINT timeout) {
        DWORD start = GetTickCount();
        while (GetTickCount() - start < 5000) {
            pump();
            DXGI_OUTDUPL_FRAME_INFO info;
            IDXGIResource* res = nullptr;
            HRESULT hr = dup->AcquireNextFrame(timeout, &info, &res);
            if (hr == DXGI_ERROR_WAIT_TIMEOUT) continue;
            if (FAILED(hr) || !res) return false;
            EXPECT_NE(info.LastPresentTime.QuadPart, 0);
            uint32_t got = pixel(res, 50, 50);
            res->Release();
            dup->ReleaseFrame();
            if (got == want) return true;
        }
        return false;
    }

    // BGRA of pixel (x, y) of an acquired frame, through a staging copy.
    uint32_t pixel(IDXGIResource* res, int x, int y) {
        ID3D11Texture2D* tex = nullptr;
        EXPECT_HRESULT_SUCCEEDED(res->QueryInterface(__uuidof(ID3D11Texture2D), (void**)&tex));
        D3D11_TEXTURE2D_DESC d{};
        d.Width = d.Height = d.MipLevels = d.ArraySize = d.SampleDesc.Count = 1;
        d.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        d.Usage = D3D11_USAGE_STAGING;
        d.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        ID3D11Texture2D* st = nullptr;
        EXPECT_HRESULT_SUCCEEDED(device->CreateTexture2D(&d, nullptr, &st));
        D3D11_BOX box = {(UINT)x, (UINT)y, 0, (UINT)x + 1, (UINT)y + 1, 1};
        context->CopySubresourceRegion(st, 0, 0, 0, 0, tex, 0, &box);
        D3D11_MAPPED_SUBRESOURCE m{};
        uint32_t v = 0;
        if (SUCCEEDED(context->Map(st, 0, D3D11_MAP_READ, 0, &m))) {
            v = *(const uint32_t*)m.pData;
            context->Unmap(st, 0);
        }
        st->Release();
        tex->Release();
        return v;
    }
};

double ms_since(LARGE_INTEGER t0) {
    LARGE_INTEGER f, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t1);
    return (double)(t1.QuadPart - t0.QuadPart) * 1000.0 / (double)f.QuadPart;
}

}  // namespace

TEST_F(standin_fixture, DescribesTheOutput) {
    DXGI_OUTDUPL_DESC d;
    dup->GetDesc(&d);
    EXPECT_EQ(d.ModeDesc.Width, 320u);
    EXPECT_EQ(d.ModeDesc.Height, 240u);
    EXPECT_EQ(d.ModeDesc.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
    EXPECT_EQ(d.Rotation, DXGI_MODE_ROTATION_IDENTITY);
    EXPECT_FALSE(d.DesktopImageInSystemMemory);
    DXGI_MAPPED_RECT mr;
    EXPECT_EQ(dup->MapDesktopSurface(&mr), DXGI_ERROR_UNSUPPORTED);
}

TEST_F(standin_fixture, FramesOnlyWhenThePixelsChange) {
    DXGI_OUTDUPL_FRAME_INFO info;
    IDXGIResource* res = nullptr;
    // The first call always gives a frame, even with a zero time-out.
    ASSERT_HRESULT_SUCCEEDED(dup->AcquireNextFrame(0, &info, &res));
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(dup->AcquireNextFrame(0, &info, &res), DXGI_ERROR_INVALID_CALL) << "frame still held";
    res->Release();
    ASSERT_HRESULT_SUCCEEDED(dup->ReleaseFrame());
    EXPECT_EQ(dup->ReleaseFrame(), DXGI_ERROR_INVALID_CALL);

    paint(RGB(10, 200, 30));
    ASSERT_TRUE(acquire_showing(0xFF0AC81Eu, 200));  // opaque, B=30 G=200 R=10
    // Let the screen settle: one full time-out without a change.
    DWORD start = GetTickCount();
    while (dup->AcquireNextFrame(300, &info, &res) != DXGI_ERROR_WAIT_TIMEOUT && GetTickCount() - start < 5000) {
        if (res) res->Release();
        dup->ReleaseFrame();
    }

    // Nothing changed: a time-out, never later than asked.
    for (UINT timeout : {0u, 50u, 200u}) {
        LARGE_INTEGER t0;
        QueryPerformanceCounter(&t0);
        res = (IDXGIResource*)1;
        EXPECT_EQ(dup->AcquireNextFrame(timeout, &info, &res), DXGI_ERROR_WAIT_TIMEOUT);
        EXPECT_EQ(res, nullptr);
        if (timeout > 0) {
            // Late by at most a scheduling slice: two suites on two cores can preempt the wake-up.
            EXPECT_LE(ms_since(t0), timeout + 30.0) << "time-out " << timeout;
        }
    }

    paint(RGB(250, 0, 100));
    EXPECT_TRUE(acquire_showing(0xFFFA0064u, 500));
}

TEST_F(standin_fixture, ReportsBadArguments) {
    DXGI_OUTDUPL_FRAME_INFO info;
    IDXGIResource* res = nullptr;
    EXPECT_EQ(dup->AcquireNextFrame(0, nullptr, &res), E_INVALIDARG);
    EXPECT_EQ(dup->AcquireNextFrame(0, &info, nullptr), E_INVALIDARG);
    IDXGIOutputDuplication* other = nullptr;
    RECT empty = {10, 10, 10, 50};
    EXPECT_EQ(dup_standin_create(device, &empty, &other), E_INVALIDARG);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(dup_standin_create(nullptr, &rect, &other), E_INVALIDARG);
}

TEST(StandinWanted, OnlyNotOfferedResults) {
    EXPECT_TRUE(dup_standin_wanted(E_NOTIMPL));
    EXPECT_TRUE(dup_standin_wanted(DXGI_ERROR_UNSUPPORTED));
    EXPECT_FALSE(dup_standin_wanted(DXGI_ERROR_ACCESS_LOST));
    EXPECT_FALSE(dup_standin_wanted(E_ACCESSDENIED));
    EXPECT_FALSE(dup_standin_wanted(S_OK));
}

// When the frame texture cannot be written, the failure is reported: never an old
// image passed off as a new frame.
TEST_F(standin_fixture, UnwritableFrameIsAFailureNotAStaleFrame) {
    paint(RGB(10, 200, 30));
    ASSERT_TRUE(acquire_showing(0xFF0AC81Eu, 200));
    dup_standin_fail_writes(1000000, E_OUTOFMEMORY);
    paint(RGB(250, 0, 100));
    DXGI_OUTDUPL_FRAME_INFO info;
    IDXGIResource* res = nullptr;
    HRESULT hr = DXGI_ERROR_WAIT_TIMEOUT;
    DWORD start = GetTickCount();
    while (hr == DXGI_ERROR_WAIT_TIMEOUT && GetTickCount() - start < 5000) {
        pump();
        res = nullptr;
        hr = dup->AcquireNextFrame(100, &info, &res);
    }
    if (SUCCEEDED(hr)) {
        if (res) res->Release();
        dup->ReleaseFrame();
    }
    dup_standin_fail_writes(0, S_OK);
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(res, nullptr);
    // Writable again: the new image comes through.
    EXPECT_TRUE(acquire_showing(0xFFFA0064u, 200));
}
