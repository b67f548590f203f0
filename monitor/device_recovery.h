// The recovery of a failed sensor: disable and re-enable every biometric
// device among the first 20 whose description holds "ZEFO".
#pragma once

// 1 when the device loop ran to its end, whatever failed inside it; 0 when the
// device list was not built or a description was not read.
int RecoverZEFOFPDevice();

// Enables again every device that a recovery disabled and did not enable (a
// crash, a shutdown or failed enable steps came between) while it still shows
// disabled. An entry whose device shows enabled now, or that is not a device
// the recovery handles, is forgotten; one whose device is absent is kept.
void RestoreDevicesDisabledByService();
