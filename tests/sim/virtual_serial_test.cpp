// The virtual serial driver answers like the Windows serial driver.
#include <gtest/gtest.h>

#include "test_support.h"
#include "virtual_serial.h"

namespace {

class VirtualSerialTest : public LibraryTest {
 protected:
  VirtualSerialTest() { opensPortsItself = true; }
  HANDLE Open(const char* path) {
    return driver().CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED);
  }
};

TEST_F(VirtualSerialTest, PortsAreFoundByNumberInAnyLetterCase) {
  driver().AddPort(12);
  HANDLE handle = Open("\\\\.\\com12");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(driver().GetFileType(handle), static_cast<DWORD>(FILE_TYPE_CHAR));
  EXPECT_TRUE(driver().CloseHandle(handle));

  for (const char* missing : {"\\\\.\\COM1", "\\\\.\\COM012x", "COM12", "\\\\.\\COM"}) {
    EXPECT_EQ(Open(missing), INVALID_HANDLE_VALUE) << missing;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << missing;
  }
}

TEST_F(VirtualSerialTest, APortHasOneOwnerAtATime) {
  driver().AddPort(1);
  HANDLE first = Open("\\\\.\\COM1");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("\\\\.\\COM1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(driver().CloseHandle(first));
  HANDLE second = Open("\\\\.\\COM1");
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, first);
}

TEST_F(VirtualSerialTest, ClosedOrForeignHandlesAreInvalid) {
  driver().AddPort(1);
  HANDLE handle = Open("\\\\.\\COM1");
  ASSERT_TRUE(driver().CloseHandle(handle));
  DCB dcb{};
  EXPECT_FALSE(driver().GetCommState(handle, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(driver().CloseHandle(handle));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(driver().SetupComm(GetCurrentProcess(), 1, 1));
}

TEST_F(VirtualSerialTest, InjectedFailureHitsTheChosenCallOnly) {
  driver().AddPort(1);
  HANDLE handle = Open("\\\\.\\COM1");
  driver().FailCall(sim::Call::GetCommState, ERROR_IO_DEVICE, 1, 2);
  DCB dcb{};
  EXPECT_TRUE(driver().GetCommState(handle, &dcb));
  EXPECT_FALSE(driver().GetCommState(handle, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
  EXPECT_FALSE(driver().GetCommState(handle, &dcb));
  EXPECT_TRUE(driver().GetCommState(handle, &dcb));
  EXPECT_TRUE(driver().SetCommState(handle, &dcb));
  EXPECT_EQ(driver().CallCount(sim::Call::GetCommState), 4u);
}

TEST_F(VirtualSerialTest, SetCommStateRefusesWhatAUartCannotDo) {
  driver().AddPort(1);
  HANDLE handle = Open("\\\\.\\COM1");
  DCB good{};
  ASSERT_TRUE(driver().GetCommState(handle, &good));

  auto refused = [&](void (*change)(DCB&)) {
    DCB dcb = good;
    change(dcb);
    const bool ok = driver().SetCommState(handle, &dcb) != FALSE;
    return !ok && GetLastError() == ERROR_INVALID_PARAMETER;
  };
  EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 9; }));
  EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 4; }));
  EXPECT_TRUE(refused([](DCB& d) { d.Parity = 5; }));
  EXPECT_TRUE(refused([](DCB& d) { d.StopBits = 3; }));
  EXPECT_TRUE(refused([](DCB& d) { d.StopBits = ONE5STOPBITS; }));
  EXPECT_TRUE(refused([](DCB& d) { d.BaudRate = 0; }));
  EXPECT_TRUE(refused([](DCB& d) {
    d.fOutX = 1;
    d.XoffChar = d.XonChar;
  }));
  DCB stored{};
  ASSERT_TRUE(driver().GetCommState(handle, &stored));
  EXPECT_EQ(0, memcmp(&stored, &good, sizeof(DCB))) << "a refused DCB changed the port";
}

TEST_F(VirtualSerialTest, DtrAndRtsFollowTheControlModes) {
  driver().AddPort(1);
  HANDLE handle = Open("\\\\.\\COM1");
  EXPECT_TRUE(driver().State(1).dtr);  // the driver's default enables both
  EXPECT_TRUE(driver().State(1).rts);
  DCB dcb{};
  ASSERT_TRUE(driver().GetCommState(handle, &dcb));
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  ASSERT_TRUE(driver().SetCommState(handle, &dcb));
  EXPECT_FALSE(driver().State(1).dtr);
  EXPECT_FALSE(driver().State(1).rts);
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  ASSERT_TRUE(driver().SetCommState(handle, &dcb));
  EXPECT_TRUE(driver().State(1).dtr);
  EXPECT_FALSE(driver().State(1).rts);
  ASSERT_TRUE(driver().CloseHandle(handle));
  EXPECT_FALSE(driver().State(1).dtr);
}

TEST_F(VirtualSerialTest, SettingsStayWithThePortBetweenOpens) {
  driver().AddPort(1);
  HANDLE handle = Open("\\\\.\\COM1");
  COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
  ASSERT_TRUE(driver().SetCommTimeouts(handle, &timeouts));
  ASSERT_TRUE(driver().SetupComm(handle, 100, 200));
  ASSERT_TRUE(driver().CloseHandle(handle));
  handle = Open("\\\\.\\COM1");
  COMMTIMEOUTS read{};
  ASSERT_TRUE(driver().GetCommTimeouts(handle, &read));
  EXPECT_EQ(read.ReadTotalTimeoutConstant, 3u);
  EXPECT_EQ(driver().State(1).inQueue, 100u);
  EXPECT_EQ(driver().State(1).opens, 2u);
}

TEST_F(VirtualSerialTest, CommConfigNeedsRoomForTheWholeRecord) {
  driver().AddPort(1);
  HANDLE handle = Open("\\\\.\\COM1");
  COMMCONFIG config{};
  DWORD size = 8;
  EXPECT_FALSE(driver().GetCommConfig(handle, &config, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, sizeof(COMMCONFIG));
  ASSERT_TRUE(driver().GetCommConfig(handle, &config, &size));
  EXPECT_EQ(config.dcb.BaudRate, static_cast<DWORD>(CBR_9600));
  EXPECT_EQ(sizeof(COMMCONFIG), 52u);
}

TEST_F(VirtualSerialTest, OtherDevicesOpenButAreNotCharacterDevices) {
  driver().AddOtherDevice("C:\\data.bin", FILE_TYPE_DISK);
  HANDLE handle = Open("c:\\DATA.bin");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(driver().GetFileType(handle), static_cast<DWORD>(FILE_TYPE_DISK));
  DCB dcb{};
  EXPECT_FALSE(driver().GetCommState(handle, &dcb));
  EXPECT_TRUE(driver().CloseHandle(handle));
  EXPECT_FALSE(driver().IsLiveHandle(handle));
}

TEST_F(VirtualSerialTest, RemovedPortRefusesEveryRequestUntilItsHandleIsClosed) {
  driver().AddPort(1);
  HANDLE handle = Open("\\\\.\\COM1");
  driver().RemovePort(1);
  EXPECT_FALSE(driver().SetupComm(handle, 1, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(driver().CancelIoEx(handle, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_FALSE(driver().State(1).exists);
  EXPECT_EQ(driver().OpenPortHandles(), 1u);
  EXPECT_TRUE(driver().CloseHandle(handle));
  EXPECT_EQ(driver().OpenPortHandles(), 0u);
}

}  // namespace
