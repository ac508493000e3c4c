/* Two DLLs of Windows 8 and later that Wine 8 does not have, for the test
 * copy under Wine only (tools/wheel-windows.sh builds them beside the
 * interpreter; nothing of it ships): mypy's ast_serialize.pyd (Rust's
 * standard library) imports ProcessPrng from bcryptprimitives.dll and the
 * address waits from api-ms-win-core-synch-l1-2-0.dll.
 *
 *   bcryptprimitives.dll: ProcessPrng, from RtlGenRandom (advapi32's
 *     SystemFunction036), which Wine has;
 *   api-ms-win-core-synch-l1-2-0.dll (built from this file with
 *     wine_synch.def): WaitOnAddress, WakeByAddressSingle and
 *     WakeByAddressAll forwarded to Wine's kernelbase.dll.
 */
#ifdef QUELLMAR_BCRYPTPRIMITIVES
#include <windows.h>

BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T length) {
    while (length > 0) {
        ULONG n = length > 0x40000000 ? 0x40000000 : (ULONG)length;
        if (!SystemFunction036(data, n)) return FALSE;
        data += n;
        length -= n;
    }
    return TRUE;
}
#else
int quellmar_forwarders_only;
#endif
