// The win32 backend's own decisions: COM port names, line settings and time-outs, which failures are a
// hang-up, error texts, GDI text, and a listening port that is not shared but comes back at once.
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/win32/internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

TEST(Win32Serial, PortNamesBecomeDevicePathsUnlessTheyArePaths)
{
    EXPECT_EQ(win32_serial_path("COM3"), "\\\\.\\COM3");
    EXPECT_EQ(win32_serial_path("COM12"), "\\\\.\\COM12");  // only the device path reaches COM10 and up
    EXPECT_EQ(win32_serial_path("\\\\.\\COM4"), "\\\\.\\COM4");
    EXPECT_EQ(win32_serial_path("C:\\x"), "C:\\x");
    EXPECT_EQ(win32_serial_path("//./COM5"), "//./COM5");
    EXPECT_EQ(win32_serial_path(nullptr), "");
}

TEST(Win32Serial, SettingsChangeOnlyTheLineAndKeepTheDriversOtherFields)
{
    DCB dcb;
    std::memset(&dcb, 0xFF, sizeof dcb);  // every flag set, as a driver might report them
    win32_serial_settings(&dcb, 57600);
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    for (DWORD off : std::initializer_list<DWORD>{dcb.fParity, dcb.fOutxCtsFlow, dcb.fOutxDsrFlow, dcb.fDsrSensitivity,
                                                  dcb.fOutX, dcb.fInX, dcb.fErrorChar, dcb.fNull, dcb.fAbortOnError})
        EXPECT_EQ(off, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.XonLim, 0xFFFF);
    EXPECT_EQ(static_cast<unsigned char>(dcb.XonChar), 0xFF);
}

TEST(Win32Serial, ReadsReturnAtOnceAndWritesHaveNoTimeLimit)
{
    COMMTIMEOUTS t = win32_serial_timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

TEST(Win32Serial, DeviceGoneIsAHangupOtherFailuresAreFailures)
{
    for (DWORD gone : {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE, ERROR_DEVICE_NOT_CONNECTED,
                       ERROR_DEVICE_REMOVED, ERROR_BROKEN_PIPE})
        EXPECT_EQ(win32_serial_failure(gone), serial_wait_result::hangup) << gone;
    for (DWORD broken : {ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_IO_DEVICE, ERROR_NOT_ENOUGH_MEMORY})
        EXPECT_EQ(win32_serial_failure(broken), serial_wait_result::failed) << broken;
}

TEST(Win32Serial, AMissingPortFailsWithTheSystemsReason)
{
    EXPECT_EQ(serial_port_open("COM199"), nullptr);
    std::string text = serial_port_error_text();
    EXPECT_NE(text.find("(error 2)"), std::string::npos) << text;  // the file is not found
    EXPECT_EQ(serial_port_open(""), nullptr);
    EXPECT_EQ(serial_port_read(nullptr, nullptr, 1), -1);
    EXPECT_EQ(serial_port_wait(nullptr, nullptr, 0), serial_wait_result::failed);
}

TEST(Win32Serial, StopEventIsManualResetAndWaitsWithATimeout)
{
    serial_event_type* event = serial_event_create();
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(serial_event_wait(event, 20));
    serial_event_signal(event);
    EXPECT_TRUE(serial_event_signalled(event));
    EXPECT_TRUE(serial_event_wait(event, 0)) << "a manual-reset event stays signalled";
    serial_event_reset(event);
    EXPECT_FALSE(serial_event_signalled(event));
    serial_event_destroy(event);
}

TEST(Win32Errors, TextsAreOneLineWithTheirCode)
{
    std::string winsock = win32_error_text(WSAECONNRESET);
    EXPECT_NE(winsock.find("(error 10054)"), std::string::npos) << winsock;
    EXPECT_EQ(winsock.find_first_of("\r\n"), std::string::npos) << winsock;
    EXPECT_GT(winsock.size(), std::string(" (error 10054)").size()) << "the system's message is missing";
    EXPECT_EQ(std::string(win32_error_text(0xDEADBEEF)), "error 3735928559");
}

TEST(Win32Text, DrawnBlackOnWhiteInTheDefaultGuiFont)
{
    auto text = text_render("Quillon 42");
    ASSERT_NE(text, nullptr);
    EXPECT_GE(text->height, 10);
    EXPECT_LE(text->height, 20);
    EXPECT_GT(text->width, 30);
    size_t black = 0, white = 0;
    for (uint32_t pixel : text->pixels) {
        EXPECT_EQ(pixel & 0xFF000000u, 0u);
        black += pixel == 0x000000;
        white += pixel == 0xFFFFFF;
    }
    EXPECT_GT(black, 20u);
    EXPECT_GT(white, text->pixels.size() / 2);
    EXPECT_EQ(text_render("Quillon 42"), text) << "the same text is rendered once";
    EXPECT_EQ(text_render(""), nullptr);
}

TEST(Win32Socket, AListeningPortIsNotSharedAndListensAgainAtOnceAfterARun)
{
    int first = socket_open();
    ASSERT_GE(first, 0);
    ASSERT_EQ(socket_bind(first, nullptr, 32461), 0);
    ASSERT_EQ(socket_listen(first, 1), 0);
    int second = socket_open();
    EXPECT_EQ(socket_bind(second, nullptr, 32461), -1) << "a second server took the port over";
    socket_close(second);

    // A connection the server closes first lingers on the server's side; a restart must listen anyway.
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(32461);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    int accepted = socket_accept(first, nullptr, 0);
    ASSERT_GE(accepted, 0);
    socket_close(accepted);
    Sleep(50);
    closesocket(client);
    socket_close(first);
    // Bound again on one address (listen_address); a name that is no dotted address binds nothing.
    int again = socket_open();
    EXPECT_EQ(socket_bind(again, "localhost", 32461), -2);
    EXPECT_EQ(socket_bind(again, "127.0.0.1", 32461), 0);
    EXPECT_EQ(socket_listen(again, 1), 0);
    socket_close(again);
}
