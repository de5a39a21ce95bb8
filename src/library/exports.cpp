// The exported functions: thin, calling the internal operations. Nothing is thrown
// across them: a failure is a Boolean or a result code, with its message in the
// last-error record.
#include <windows.h>

#include "kwelmora.h"
#include "library/last_error.h"
#include "library/library_state.h"
#include "port/hand_off.h"
#include "protocol/link_protocol.h"
#include "trace/trace.h"

namespace {

constexpr int32_t kBaudRate = 19200;
constexpr uint16_t kWriteTimeoutSeconds = 1;
constexpr uint16_t kReadTimeoutSeconds = 1;

void RecordUnexpectedFailure() {
  RecordError("Błąd wewnętrzny biblioteki.", static_cast<int32_t>(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace

extern "C" unsigned char KWELMORA_CALL ZainicjowanoPortSzeregowyDlaZRV(unsigned char portNumber) {
  TraceOpening(portNumber);
  const TraceExportCall call(TraceExport::Initialize, portNumber);
  try {
    const int32_t result =
        InitializePort(portNumber, kBaudRate, kWriteTimeoutSeconds, kReadTimeoutSeconds);
    if (result == 0) {
      TransferFailed = false;
      PortInitialized = true;
      return call.Returns(1);
    }
  } catch (...) {
    RecordUnexpectedFailure();
  }
  PortInitialized = false;
  return call.Returns(0);
}

extern "C" unsigned char KWELMORA_CALL OdinicjowanoPortSzeregowyDlaZRV() {
  const TraceExportCall call(TraceExport::Close);
  try {
    return call.Returns(ClosePort() == 0 ? 1 : 0);
  } catch (...) {
    RecordUnexpectedFailure();
    return call.Returns(0);
  }
}

extern "C" unsigned char KWELMORA_CALL OdczytanieBajtuStatusuZRV(unsigned char* status) {
  const TraceExportCall call(TraceExport::Status, 0, status);
  try {
    return call.Returns(ReadStatus(status), status);
  } catch (...) {
    RecordUnexpectedFailure();
    return call.Returns(zrv::kNotReceived);
  }
}

extern "C" unsigned char KWELMORA_CALL OdczytanieBajtowZZRV(unsigned short address,
                                                            unsigned char* buffer) {
  const TraceExportCall call(TraceExport::ReadRecord, address, buffer);
  try {
    return call.Returns(ReadRecord(address, buffer), buffer);
  } catch (...) {
    RecordUnexpectedFailure();
    return call.Returns(zrv::kNotReceived, buffer);
  }
}

extern "C" unsigned char KWELMORA_CALL ZapisanieBajtowDoZRV(unsigned short address,
                                                            const unsigned char* data) {
  const TraceExportCall call(TraceExport::WriteRecord, address, data);
  try {
    return call.Returns(WriteRecord(address, data));
  } catch (...) {
    RecordUnexpectedFailure();
    return call.Returns(zrv::kNotSent);
  }
}
