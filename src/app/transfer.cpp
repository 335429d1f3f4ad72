// Placeholder transfer sequence: connects and stops there until the FTP work lands.
#include "app/patcher.h"

void Patcher::ConnectToServer() {
  if (ClosingStarted()) return;
  state.store(Connecting);
  plat::FtpConnectAsync(internetHandle, serverAddress, static_cast<uint16_t>(serverPort), userId, password,
                        reinterpret_cast<uintptr_t>(this));
}
void Patcher::HandleConnecting(uint32_t, const void*) {}
void Patcher::HandleFetchingList(uint32_t, const void*) {}
void Patcher::HandleConnectingForFile(uint32_t, const void*) {}
void Patcher::HandleFetchingFile(uint32_t, const void*) {}
void Patcher::ProcessQueue() {}
void Patcher::FinishUnpack() {}
