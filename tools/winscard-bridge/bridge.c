/*
 * The winscard functions the Windows build of the module calls, served by the
 * host's pcsc-lite, so that the Windows DLL can be tested under Wine against
 * the real pcscd and the card simulator. Wine's own winscard.dll is a stub.
 *
 * This is a winelib DLL (an ELF shared object built with winegcc): the
 * functions below are called with the Windows calling convention and call
 * libpcsclite (loaded with dlopen, so its header never meets Wine's) with the
 * Unix one. What differs between the two APIs and is converted here:
 *   - names: UTF-16 on the Windows side, UTF-8 in pcsc-lite;
 *   - integers: DWORD/LONG are 32 bits on Windows, 64 bits in pcsc-lite on
 *     x86-64 (results are cut to their 32-bit code);
 *   - SCARD_READERSTATE: 32-bit fields and a 36-byte ATR against 64-bit
 *     fields and a 33-byte ATR;
 *   - protocol values: raw is 0x10000 on Windows, 4 in pcsc-lite;
 *   - the card state of SCardStatus: an enumeration (1 absent .. 6 specific)
 *     on Windows, a bit mask in pcsc-lite;
 *   - control codes: SCARD_CTL_CODE(n) is 0x310000 | n << 2 on Windows and
 *     0x42000000 + n in pcsc-lite; codes of any other shape (for example
 *     those a reader announces in its feature list) pass unchanged;
 *   - the protocol control information globals g_rgSCardT0Pci and friends.
 * Only the functions the module imports are provided; winscard.def forwards
 * them from a native winscard.dll to this library.
 */
#include <windef.h>
#include <winbase.h>
#include <winnls.h>

#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

/* ---- pcsc-lite's ABI on x86-64 (LONG and DWORD are 64 bits there) ---- */
typedef long pcsc_long;
typedef unsigned long pcsc_dword;

typedef struct {
    const char *szReader;
    void *pvUserData;
    pcsc_dword dwCurrentState;
    pcsc_dword dwEventState;
    pcsc_dword cbAtr;
    unsigned char rgbAtr[33];
} pcsc_reader_state;

typedef struct {
    pcsc_dword dwProtocol;
    pcsc_dword cbPciLength;
} pcsc_io_request;

#define PCSC_AUTOALLOCATE ((pcsc_dword)-1)
#define PCSC_PROTOCOL_RAW 0x4
#define PCSC_CTL_BASE 0x42000000u

/* ---- the Windows side's types, declared here to keep this file self-contained ---- */
typedef ULONG_PTR WIN_SCARDCONTEXT;
typedef ULONG_PTR WIN_SCARDHANDLE;

typedef struct {
    LPCWSTR szReader;
    LPVOID pvUserData;
    DWORD dwCurrentState;
    DWORD dwEventState;
    DWORD cbAtr;
    BYTE rgbAtr[36];
} WIN_READERSTATEW;

typedef struct {
    DWORD dwProtocol;
    DWORD cbPciLength;
} WIN_IO_REQUEST;

#define WIN_AUTOALLOCATE ((DWORD)-1)
#define WIN_PROTOCOL_T0 0x1
#define WIN_PROTOCOL_T1 0x2
#define WIN_PROTOCOL_RAW 0x10000
#define WIN_CTL_DEVICE 0x00310000u
#define WIN_E_INVALID_PARAMETER 0x80100004u
#define WIN_E_INSUFFICIENT_BUFFER 0x80100008u
#define WIN_E_NO_MEMORY 0x80100006u
#define WIN_F_INTERNAL_ERROR 0x80100001u
#define WIN_E_NO_SERVICE 0x8010001Du

/* Protocol control information the callers pass to SCardTransmit. */
const WIN_IO_REQUEST g_rgSCardT0Pci = {WIN_PROTOCOL_T0, sizeof(WIN_IO_REQUEST)};
const WIN_IO_REQUEST g_rgSCardT1Pci = {WIN_PROTOCOL_T1, sizeof(WIN_IO_REQUEST)};
const WIN_IO_REQUEST g_rgSCardRawPci = {WIN_PROTOCOL_RAW, sizeof(WIN_IO_REQUEST)};

/* ---- libpcsclite, loaded once ---- */
static struct {
    pcsc_long (*EstablishContext)(pcsc_dword, const void *, const void *, pcsc_long *);
    pcsc_long (*ReleaseContext)(pcsc_long);
    pcsc_long (*IsValidContext)(pcsc_long);
    pcsc_long (*ListReaders)(pcsc_long, const char *, char *, pcsc_dword *);
    pcsc_long (*GetStatusChange)(pcsc_long, pcsc_dword, pcsc_reader_state *, pcsc_dword);
    pcsc_long (*Cancel)(pcsc_long);
    pcsc_long (*Connect)(pcsc_long, const char *, pcsc_dword, pcsc_dword, pcsc_long *, pcsc_dword *);
    pcsc_long (*Reconnect)(pcsc_long, pcsc_dword, pcsc_dword, pcsc_dword, pcsc_dword *);
    pcsc_long (*Disconnect)(pcsc_long, pcsc_dword);
    pcsc_long (*BeginTransaction)(pcsc_long);
    pcsc_long (*EndTransaction)(pcsc_long, pcsc_dword);
    pcsc_long (*Status)(pcsc_long, char *, pcsc_dword *, pcsc_dword *, pcsc_dword *, unsigned char *,
                        pcsc_dword *);
    pcsc_long (*Transmit)(pcsc_long, const pcsc_io_request *, const unsigned char *, pcsc_dword,
                          pcsc_io_request *, unsigned char *, pcsc_dword *);
    pcsc_long (*Control)(pcsc_long, pcsc_dword, const void *, pcsc_dword, void *, pcsc_dword,
                         pcsc_dword *);
    const pcsc_io_request *t0Pci, *t1Pci, *rawPci;
    int loaded;
} pcsc;

static pthread_once_t pcscOnce = PTHREAD_ONCE_INIT;

static void loadPcscLite(void)
{
    void *lib = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
#define BRIDGE_SYMBOL(field, name) *(void **)&pcsc.field = dlsym(lib, name)
    BRIDGE_SYMBOL(EstablishContext, "SCardEstablishContext");
    BRIDGE_SYMBOL(ReleaseContext, "SCardReleaseContext");
    BRIDGE_SYMBOL(IsValidContext, "SCardIsValidContext");
    BRIDGE_SYMBOL(ListReaders, "SCardListReaders");
    BRIDGE_SYMBOL(GetStatusChange, "SCardGetStatusChange");
    BRIDGE_SYMBOL(Cancel, "SCardCancel");
    BRIDGE_SYMBOL(Connect, "SCardConnect");
    BRIDGE_SYMBOL(Reconnect, "SCardReconnect");
    BRIDGE_SYMBOL(Disconnect, "SCardDisconnect");
    BRIDGE_SYMBOL(BeginTransaction, "SCardBeginTransaction");
    BRIDGE_SYMBOL(EndTransaction, "SCardEndTransaction");
    BRIDGE_SYMBOL(Status, "SCardStatus");
    BRIDGE_SYMBOL(Transmit, "SCardTransmit");
    BRIDGE_SYMBOL(Control, "SCardControl");
#undef BRIDGE_SYMBOL
    pcsc.t0Pci = dlsym(lib, "g_rgSCardT0Pci");
    pcsc.t1Pci = dlsym(lib, "g_rgSCardT1Pci");
    pcsc.rawPci = dlsym(lib, "g_rgSCardRawPci");
    pcsc.loaded = pcsc.EstablishContext && pcsc.ReleaseContext && pcsc.IsValidContext &&
                  pcsc.ListReaders && pcsc.GetStatusChange && pcsc.Cancel && pcsc.Connect &&
                  pcsc.Reconnect && pcsc.Disconnect && pcsc.BeginTransaction &&
                  pcsc.EndTransaction && pcsc.Status && pcsc.Transmit && pcsc.Control &&
                  pcsc.t0Pci && pcsc.t1Pci && pcsc.rawPci;
}

static int pcscReady(void)
{
    pthread_once(&pcscOnce, loadPcscLite);
    return pcsc.loaded;
}

/* pcsc-lite's codes are the Windows ones held in a 64-bit long. */
static LONG toWindowsResult(pcsc_long rv) { return (LONG)(DWORD)rv; }

static pcsc_dword protocolToPcsc(DWORD protocols)
{
    pcsc_dword result = protocols & (WIN_PROTOCOL_T0 | WIN_PROTOCOL_T1);
    if (protocols & WIN_PROTOCOL_RAW) result |= PCSC_PROTOCOL_RAW;
    return result;
}

static DWORD protocolToWindows(pcsc_dword protocols)
{
    DWORD result = (DWORD)(protocols & (WIN_PROTOCOL_T0 | WIN_PROTOCOL_T1));
    if (protocols & PCSC_PROTOCOL_RAW) result |= WIN_PROTOCOL_RAW;
    return result;
}

/* pcsc-lite's state bits 0x01 unknown .. 0x40 specific; Windows numbers them 0 .. 6. */
static DWORD cardStateToWindows(pcsc_dword state)
{
    DWORD value = 0;
    for (DWORD bit = 0; bit < 7; ++bit) {
        if (state & ((pcsc_dword)1 << bit)) value = bit;
    }
    return value;
}

static pcsc_dword controlCodeToPcsc(DWORD code)
{
    if ((code & 0xFFFF0000u) == WIN_CTL_DEVICE && (code & 0x3u) == 0)
        return PCSC_CTL_BASE + ((code & 0xFFFFu) >> 2);
    return code;
}

static const pcsc_io_request *pciToPcsc(const WIN_IO_REQUEST *pci)
{
    if (!pci) return NULL;
    switch (pci->dwProtocol) {
    case WIN_PROTOCOL_T0: return pcsc.t0Pci;
    case WIN_PROTOCOL_T1: return pcsc.t1Pci;
    default: return pcsc.rawPci;
    }
}

/* A malloc'ed UTF-8 copy of a UTF-16 string; NULL for NULL or on failure. */
static char *utf8FromWide(LPCWSTR text)
{
    if (!text) return NULL;
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    if (size <= 0) return NULL;
    char *out = malloc((size_t)size);
    if (out && WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL) <= 0) {
        free(out);
        out = NULL;
    }
    return out;
}

/* UTF-16 length (in WCHARs) of a UTF-8 text of `bytes` bytes, zeros included. */
static int wideLength(const char *text, int bytes)
{
    return bytes > 0 ? MultiByteToWideChar(CP_UTF8, 0, text, bytes, NULL, 0) : 0;
}

/*
 * Hands a converted text to a Windows caller following the usual rules of
 * the W functions: a null buffer asks for the length, SCARD_AUTOALLOCATE
 * makes the callee allocate (freed with SCardFreeMemory), otherwise the
 * caller's capacity must do.
 */
static LONG deliverWide(const char *text, int bytes, LPWSTR buffer, LPDWORD length)
{
    int needed = wideLength(text, bytes);
    if (!length) return buffer ? (LONG)WIN_E_INVALID_PARAMETER : 0;
    if (*length == WIN_AUTOALLOCATE) {
        if (!buffer) return (LONG)WIN_E_INVALID_PARAMETER;
        WCHAR *allocated = HeapAlloc(GetProcessHeap(), 0, (needed ? needed : 1) * sizeof(WCHAR));
        if (!allocated) return (LONG)WIN_E_NO_MEMORY;
        if (needed) MultiByteToWideChar(CP_UTF8, 0, text, bytes, allocated, needed);
        *(WCHAR **)buffer = allocated;
        *length = (DWORD)needed;
        return 0;
    }
    if (!buffer) {
        *length = (DWORD)needed;
        return 0;
    }
    if (*length < (DWORD)needed) {
        *length = (DWORD)needed;
        return (LONG)WIN_E_INSUFFICIENT_BUFFER;
    }
    if (needed) MultiByteToWideChar(CP_UTF8, 0, text, bytes, buffer, needed);
    *length = (DWORD)needed;
    return 0;
}

/* The narrow variant: pcsc-lite's UTF-8 bytes are handed over as they are. */
static LONG deliverNarrow(const char *text, int bytes, LPSTR buffer, LPDWORD length)
{
    if (!length) return buffer ? (LONG)WIN_E_INVALID_PARAMETER : 0;
    if (*length == WIN_AUTOALLOCATE) {
        if (!buffer) return (LONG)WIN_E_INVALID_PARAMETER;
        char *allocated = HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
        if (!allocated) return (LONG)WIN_E_NO_MEMORY;
        memcpy(allocated, text, bytes);
        *(char **)buffer = allocated;
        *length = (DWORD)bytes;
        return 0;
    }
    if (!buffer) {
        *length = (DWORD)bytes;
        return 0;
    }
    if (*length < (DWORD)bytes) {
        *length = (DWORD)bytes;
        return (LONG)WIN_E_INSUFFICIENT_BUFFER;
    }
    memcpy(buffer, text, bytes);
    *length = (DWORD)bytes;
    return 0;
}

LONG WINAPI Bridge_SCardEstablishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2,
                                         WIN_SCARDCONTEXT *context)
{
    pcsc_long ctx = 0;
    LONG rv;
    if (!context) return (LONG)WIN_E_INVALID_PARAMETER;
    *context = 0;
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    rv = toWindowsResult(pcsc.EstablishContext(scope, reserved1, reserved2, &ctx));
    if (rv == 0) *context = (WIN_SCARDCONTEXT)ctx;
    return rv;
}

LONG WINAPI Bridge_SCardReleaseContext(WIN_SCARDCONTEXT context)
{
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    return toWindowsResult(pcsc.ReleaseContext((pcsc_long)context));
}

LONG WINAPI Bridge_SCardIsValidContext(WIN_SCARDCONTEXT context)
{
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    return toWindowsResult(pcsc.IsValidContext((pcsc_long)context));
}

LONG WINAPI Bridge_SCardFreeMemory(WIN_SCARDCONTEXT context, LPCVOID memory)
{
    (void)context;
    if (memory) HeapFree(GetProcessHeap(), 0, (void *)memory);
    return 0;
}

/* Reader groups are not used by the module; every reader is listed. */
static LONG listReaders(WIN_SCARDCONTEXT context, char **names, pcsc_dword *bytes)
{
    pcsc_long rv;
    *names = NULL;
    *bytes = 0;
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    rv = pcsc.ListReaders((pcsc_long)context, NULL, NULL, bytes);
    if (rv != 0) return toWindowsResult(rv);
    *names = malloc(*bytes ? *bytes : 1);
    if (!*names) return (LONG)WIN_E_NO_MEMORY;
    rv = pcsc.ListReaders((pcsc_long)context, NULL, *names, bytes);
    if (rv != 0) {
        free(*names);
        *names = NULL;
    }
    return toWindowsResult(rv);
}

LONG WINAPI Bridge_SCardListReadersW(WIN_SCARDCONTEXT context, LPCWSTR groups, LPWSTR readers,
                                     LPDWORD length)
{
    char *names;
    pcsc_dword bytes;
    LONG rv;
    (void)groups;
    rv = listReaders(context, &names, &bytes);
    if (rv == 0) rv = deliverWide(names, (int)bytes, readers, length);
    free(names);
    return rv;
}

LONG WINAPI Bridge_SCardListReadersA(WIN_SCARDCONTEXT context, LPCSTR groups, LPSTR readers,
                                     LPDWORD length)
{
    char *names;
    pcsc_dword bytes;
    LONG rv;
    (void)groups;
    rv = listReaders(context, &names, &bytes);
    if (rv == 0) rv = deliverNarrow(names, (int)bytes, readers, length);
    free(names);
    return rv;
}

LONG WINAPI Bridge_SCardGetStatusChangeW(WIN_SCARDCONTEXT context, DWORD timeout,
                                         WIN_READERSTATEW *states, DWORD count)
{
    pcsc_reader_state *native;
    LONG rv = 0;
    DWORD i;
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    if (count > 0 && !states) return (LONG)WIN_E_INVALID_PARAMETER;
    native = calloc(count ? count : 1, sizeof *native);
    if (!native) return (LONG)WIN_E_NO_MEMORY;
    for (i = 0; i < count; ++i) {
        native[i].szReader = utf8FromWide(states[i].szReader);
        if (!native[i].szReader) rv = (LONG)WIN_E_INVALID_PARAMETER;
        native[i].pvUserData = states[i].pvUserData;
        native[i].dwCurrentState = states[i].dwCurrentState;
        native[i].dwEventState = states[i].dwEventState;
    }
    if (rv == 0) {
        /* INFINITE is 0xFFFFFFFF in both APIs. */
        rv = toWindowsResult(pcsc.GetStatusChange((pcsc_long)context, timeout, native, count));
        for (i = 0; i < count; ++i) {
            size_t atrLength = native[i].cbAtr;
            if (atrLength > sizeof native[i].rgbAtr) atrLength = sizeof native[i].rgbAtr;
            states[i].dwEventState = (DWORD)native[i].dwEventState;
            states[i].cbAtr = (DWORD)atrLength;
            memcpy(states[i].rgbAtr, native[i].rgbAtr, atrLength);
        }
    }
    for (i = 0; i < count; ++i) free((void *)native[i].szReader);
    free(native);
    return rv;
}

LONG WINAPI Bridge_SCardCancel(WIN_SCARDCONTEXT context)
{
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    return toWindowsResult(pcsc.Cancel((pcsc_long)context));
}

LONG WINAPI Bridge_SCardConnectW(WIN_SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode,
                                 DWORD preferredProtocols, WIN_SCARDHANDLE *card,
                                 LPDWORD activeProtocol)
{
    pcsc_long handle = 0;
    pcsc_dword active = 0;
    char *name;
    LONG rv;
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    if (!card || !activeProtocol) return (LONG)WIN_E_INVALID_PARAMETER;
    name = utf8FromWide(reader);
    if (!name) return (LONG)WIN_E_INVALID_PARAMETER;
    rv = toWindowsResult(pcsc.Connect((pcsc_long)context, name, shareMode,
                                      protocolToPcsc(preferredProtocols), &handle, &active));
    free(name);
    *card = rv == 0 ? (WIN_SCARDHANDLE)handle : 0;
    *activeProtocol = protocolToWindows(active);
    return rv;
}

LONG WINAPI Bridge_SCardReconnect(WIN_SCARDHANDLE card, DWORD shareMode, DWORD preferredProtocols,
                                  DWORD initialization, LPDWORD activeProtocol)
{
    pcsc_dword active = 0;
    LONG rv;
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    rv = toWindowsResult(pcsc.Reconnect((pcsc_long)card, shareMode,
                                        protocolToPcsc(preferredProtocols), initialization,
                                        &active));
    if (activeProtocol) *activeProtocol = protocolToWindows(active);
    return rv;
}

LONG WINAPI Bridge_SCardDisconnect(WIN_SCARDHANDLE card, DWORD disposition)
{
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    return toWindowsResult(pcsc.Disconnect((pcsc_long)card, disposition));
}

LONG WINAPI Bridge_SCardBeginTransaction(WIN_SCARDHANDLE card)
{
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    return toWindowsResult(pcsc.BeginTransaction((pcsc_long)card));
}

LONG WINAPI Bridge_SCardEndTransaction(WIN_SCARDHANDLE card, DWORD disposition)
{
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    return toWindowsResult(pcsc.EndTransaction((pcsc_long)card, disposition));
}

/* Reads everything SCardStatus reports into local buffers. */
static LONG status(WIN_SCARDHANDLE card, char *name, pcsc_dword *nameBytes, LPDWORD state,
                   LPDWORD protocol, unsigned char *atr, pcsc_dword *atrBytes)
{
    pcsc_dword nativeState = 0, nativeProtocol = 0;
    LONG rv;
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    rv = toWindowsResult(pcsc.Status((pcsc_long)card, name, nameBytes, &nativeState,
                                     &nativeProtocol, atr, atrBytes));
    if (rv != 0) return rv;
    if (state) *state = cardStateToWindows(nativeState);
    if (protocol) *protocol = protocolToWindows(nativeProtocol);
    return 0;
}

static LONG deliverAtr(const unsigned char *atr, pcsc_dword bytes, LPBYTE buffer, LPDWORD length)
{
    if (!length) return 0;
    if (*length == WIN_AUTOALLOCATE) {
        BYTE *allocated;
        if (!buffer) return (LONG)WIN_E_INVALID_PARAMETER;
        allocated = HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
        if (!allocated) return (LONG)WIN_E_NO_MEMORY;
        memcpy(allocated, atr, bytes);
        *(BYTE **)buffer = allocated;
    } else if (buffer) {
        if (*length < bytes) {
            *length = (DWORD)bytes;
            return (LONG)WIN_E_INSUFFICIENT_BUFFER;
        }
        memcpy(buffer, atr, bytes);
    }
    *length = (DWORD)bytes;
    return 0;
}

LONG WINAPI Bridge_SCardStatusW(WIN_SCARDHANDLE card, LPWSTR readerNames, LPDWORD namesLength,
                                LPDWORD state, LPDWORD protocol, LPBYTE atr, LPDWORD atrLength)
{
    char name[1024];
    unsigned char nativeAtr[64];
    pcsc_dword nameBytes = sizeof name, atrBytes = sizeof nativeAtr;
    LONG rv = status(card, name, &nameBytes, state, protocol, nativeAtr, &atrBytes);
    if (rv != 0) return rv;
    /* A multi-string: the reader's name and a second terminating zero. */
    if (nameBytes < sizeof name) name[nameBytes++] = '\0';
    rv = deliverWide(name, (int)nameBytes, readerNames, namesLength);
    if (rv != 0) return rv;
    return deliverAtr(nativeAtr, atrBytes, atr, atrLength);
}

LONG WINAPI Bridge_SCardStatusA(WIN_SCARDHANDLE card, LPSTR readerNames, LPDWORD namesLength,
                                LPDWORD state, LPDWORD protocol, LPBYTE atr, LPDWORD atrLength)
{
    char name[1024];
    unsigned char nativeAtr[64];
    pcsc_dword nameBytes = sizeof name, atrBytes = sizeof nativeAtr;
    LONG rv = status(card, name, &nameBytes, state, protocol, nativeAtr, &atrBytes);
    if (rv != 0) return rv;
    if (nameBytes < sizeof name) name[nameBytes++] = '\0';
    rv = deliverNarrow(name, (int)nameBytes, readerNames, namesLength);
    if (rv != 0) return rv;
    return deliverAtr(nativeAtr, atrBytes, atr, atrLength);
}

LONG WINAPI Bridge_SCardTransmit(WIN_SCARDHANDLE card, const WIN_IO_REQUEST *sendPci,
                                 const BYTE *send, DWORD sendLength, WIN_IO_REQUEST *receivePci,
                                 LPBYTE receive, LPDWORD receiveLength)
{
    pcsc_dword received;
    LONG rv;
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    if (!receiveLength) return (LONG)WIN_E_INVALID_PARAMETER;
    received = *receiveLength;
    rv = toWindowsResult(pcsc.Transmit((pcsc_long)card, pciToPcsc(sendPci), send, sendLength,
                                       NULL, receive, &received));
    *receiveLength = (DWORD)received;
    if (receivePci) receivePci->cbPciLength = sizeof *receivePci;
    return rv;
}

LONG WINAPI Bridge_SCardControl(WIN_SCARDHANDLE card, DWORD controlCode, LPCVOID input,
                                DWORD inputLength, LPVOID output, DWORD outputCapacity,
                                LPDWORD returned)
{
    pcsc_dword bytes = 0;
    LONG rv;
    if (!pcscReady()) return (LONG)WIN_E_NO_SERVICE;
    rv = toWindowsResult(pcsc.Control((pcsc_long)card, controlCodeToPcsc(controlCode), input,
                                      inputLength, output, outputCapacity, &bytes));
    if (returned) *returned = (DWORD)bytes;
    return rv;
}

/*
 * pcsc-lite has no "service started" event. The event handed out is always
 * signalled: callers then simply try to establish a context, which fails with
 * SCARD_E_NO_SERVICE while pcscd is down, and retry at their own pace.
 */
static HANDLE startedEvent;
static pthread_mutex_t startedEventLock = PTHREAD_MUTEX_INITIALIZER;

HANDLE WINAPI Bridge_SCardAccessStartedEvent(void)
{
    HANDLE event;
    pthread_mutex_lock(&startedEventLock);
    if (!startedEvent) startedEvent = CreateEventW(NULL, TRUE, TRUE, NULL);
    event = startedEvent;
    pthread_mutex_unlock(&startedEventLock);
    return event;
}

void WINAPI Bridge_SCardReleaseStartedEvent(void) {}
