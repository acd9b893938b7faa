/*
 * Corvane emulated UPS: a root-enumerated HID minidriver.
 *
 * Wine's hidclass.sys sits on top of this driver and does everything a USB
 * HID device stack does (interface, preparsed data, HidD_* calls). This driver
 * only answers hidclass's internal requests, and it answers them from the
 * device's own hardware registry key (Enum\<instance>\Device Parameters), read
 * on every request. A test or a user changes the UPS by writing that key; the
 * driver writes back how many feature requests it served and when.
 *
 * Values in the key (all optional unless noted):
 *   ReportDescriptor  REG_BINARY  the HID report descriptor (required)
 *   VendorId, ProductId, VersionNumber  REG_DWORD
 *   Manufacturer, Product, Serial       REG_SZ
 *   Feature<id>, Input<id>  REG_BINARY  raw report bytes, byte 0 = report id
 *   FailAll    REG_DWORD  non-zero: every GET_FEATURE fails
 *   FailReport REG_DWORD  non-zero id: GET_FEATURE of that id fails
 *   FailStatus REG_DWORD  NTSTATUS used for failures (default DEVICE_NOT_CONNECTED)
 *   DelayMs    REG_DWORD  sleep before answering each GET_FEATURE
 *   RequestCount REG_DWORD   written: GET_FEATURE requests received
 *   RequestTimes REG_BINARY  written: ring of 64 ULONGLONG, ms since 1601
 *                            (slot = (count-1) % 64), taken on arrival
 *   InputSerial REG_DWORD  bumped by the client whenever it writes an Input<id>
 *                          or InputFlood; the only value read while idle
 *   InputFlood  REG_DWORD  non-zero: an input report every 10 ms, each unlike
 *                          the one before
 *   OffDelayField REG_BINARY  where DelayBeforeShutdown and ACPresent stand, as
 *                          EMU_OFF_FIELD (read when the device starts; id 0: none)
 *   OutputOn, OutputOffs, OffDelayLast, OffDelayWrites  REG_DWORD  written:
 *                          the output's state, how often it went off, the
 *                          last delay written (raw, sign-extended) and how
 *                          many were written
 *   SetRequests REG_DWORD  written: feature and output reports a host sent
 *   OffDelayEnd REG_BINARY   written: ULONGLONG ms since 1601 when the output
 *                          goes off, 0 while nothing counts down
 *
 * Input reports: like a USB UPS on its interrupt endpoint, the driver sends
 * an Input<id> report when its bytes change. A thread of its own looks at
 * InputSerial every 20 ms and, when it moved, re-reads the Input<id> values;
 * each that changed is news until it completes hidclass's pending read, so a
 * change undone before it could be sent still sends the state it came back
 * to, as a device would have sent both.
 *
 * The output: a delay written into DelayBeforeShutdown (a value of 1 or
 * more; 0 or less aborts) counts down, a read of it gives the seconds left,
 * and the output goes off when it ends. It comes on again once the mains are
 * present, at the earliest EMU_RESTART_MS after it went off, so that mains
 * already back still see it cycle. A model that counts in whole minutes
 * rounds the delay down to them: 59 means now.
 */
#include <ntddk.h>

/* ---- hidport declarations (mingw-w64 ships no hidport.h) ---- */
typedef struct {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} EMU_HID_MINIDRIVER_REGISTRATION;

typedef struct {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} EMU_HID_DEVICE_EXTENSION;

typedef struct {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} EMU_HID_DEVICE_ATTRIBUTES;

#pragma pack(push, 1)
typedef struct {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} EMU_HID_DESCRIPTOR;
#pragma pack(pop)

typedef struct {
    PUCHAR reportBuffer;
    ULONG reportBufferLen;
    UCHAR reportId;
} EMU_HID_XFER_PACKET;

NTSTATUS NTAPI HidRegisterMinidriver(EMU_HID_MINIDRIVER_REGISTRATION *reg);
/* In ntifs.h, which does not mix with ntddk.h. */
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

/* The mingw header values are wrong; these match hidclass. */
#define EMU_HID_CTL(id, method) CTL_CODE(FILE_DEVICE_KEYBOARD, (id), (method), FILE_ANY_ACCESS)
#define IOCTL_EMU_GET_DEVICE_DESCRIPTOR   EMU_HID_CTL(0, METHOD_NEITHER)
#define IOCTL_EMU_GET_REPORT_DESCRIPTOR   EMU_HID_CTL(1, METHOD_NEITHER)
#define IOCTL_EMU_READ_REPORT             EMU_HID_CTL(2, METHOD_NEITHER)
#define IOCTL_EMU_WRITE_REPORT            EMU_HID_CTL(3, METHOD_NEITHER)
#define IOCTL_EMU_GET_STRING              EMU_HID_CTL(4, METHOD_NEITHER)
#define IOCTL_EMU_ACTIVATE_DEVICE         EMU_HID_CTL(7, METHOD_NEITHER)
#define IOCTL_EMU_DEACTIVATE_DEVICE       EMU_HID_CTL(8, METHOD_NEITHER)
#define IOCTL_EMU_GET_DEVICE_ATTRIBUTES   EMU_HID_CTL(9, METHOD_NEITHER)
#define IOCTL_EMU_SEND_IDLE               EMU_HID_CTL(10, METHOD_NEITHER)
#define IOCTL_EMU_GET_FEATURE             EMU_HID_CTL(100, METHOD_OUT_DIRECT)
#define IOCTL_EMU_GET_INPUT_REPORT        EMU_HID_CTL(104, METHOD_OUT_DIRECT)
#define IOCTL_EMU_GET_INDEXED_STRING      EMU_HID_CTL(120, METHOD_OUT_DIRECT)
#define IOCTL_EMU_SET_FEATURE             EMU_HID_CTL(100, METHOD_IN_DIRECT)
#define IOCTL_EMU_SET_OUTPUT_REPORT       EMU_HID_CTL(101, METHOD_IN_DIRECT)

#define EMU_TIME_RING 64
#define EMU_VALUE_MAX 8192
#define EMU_INPUT_MAX 16
#define EMU_INPUT_BYTES 64
#define EMU_INPUT_TICK_MS 20
#define EMU_FLOOD_TICK_MS 10
/* Longer than any report a profile has: hidclass's read for a descriptor
 * without Input items asks for an impossible length. */
#define EMU_READ_MAX 512
#define EMU_RESTART_MS 1000

#pragma pack(push, 1)
typedef struct {
    UCHAR id;            /* DelayBeforeShutdown's feature report; 0: none */
    UCHAR flags;         /* EMU_OFF_MINUTES, EMU_OFF_SIGNED */
    USHORT bit, size;    /* from the start of the report, id byte included */
    UCHAR ac_id;         /* ACPresent's feature report; 0: the mains count as present */
    UCHAR unused;
    USHORT ac_bit;
} EMU_OFF_FIELD;
#pragma pack(pop)
#define EMU_OFF_MINUTES 1
#define EMU_OFF_SIGNED 2

typedef struct {
    ULONG len;                        /* 0: unused */
    UCHAR now[EMU_INPUT_BYTES];       /* as the key holds it */
    BOOLEAN news;                     /* changed since it was last delivered */
} EMU_INPUT;

typedef struct {
    PDEVICE_OBJECT pdo;
    HANDLE key;          /* the device's hardware key, opened on first use */
    KSPIN_LOCK lock;
    KMUTEX log_lock;     /* serialises the count/ring read-modify-write */
    PIRP pending_read;   /* hidclass keeps one read outstanding at all times */
    BOOLEAN removed;
    HANDLE input_thread; /* sends the input reports; null while stopped */
    KEVENT input_stop;
    ULONG input_serial, flood, flood_turn, flood_count, ninputs;
    EMU_INPUT inputs[EMU_INPUT_MAX];
    EMU_OFF_FIELD off;
    LONGLONG off_at;     /* ms since 1601 when the output goes off; 0: no countdown */
    LONGLONG off_since;  /* when it went off; 0: the output is on */
} EMU_DEVICE;

static EMU_DEVICE *emu_dev(PDEVICE_OBJECT fdo)
{
    return (EMU_DEVICE *)((EMU_HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->MiniDeviceExtension;
}

static void emu_copy(void *dst, const void *src, ULONG n)
{
    volatile UCHAR *d = dst;
    const UCHAR *s = src;
    while (n--) *d++ = *s++;
}

/* ---- registry helpers ---- */

static HANDLE emu_key(EMU_DEVICE *dev)
{
    if (!dev->key) {
        HANDLE h = NULL;
        if (NT_SUCCESS(IoOpenDeviceRegistryKey(dev->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &h)))
            dev->key = h;
    }
    return dev->key;
}

/* Builds a value name "<prefix><decimal id>" into buf. */
static void emu_name(WCHAR *buf, const WCHAR *prefix, ULONG id, UNICODE_STRING *us)
{
    WCHAR digits[12];
    int n = 0, i = 0;
    while (*prefix) buf[i++] = *prefix++;
    do { digits[n++] = (WCHAR)(L'0' + id % 10); id /= 10; } while (id);
    while (n) buf[i++] = digits[--n];
    buf[i] = 0;
    RtlInitUnicodeString(us, buf);
}

/* Reads a value into a fresh pool buffer; the caller frees it. */
static KEY_VALUE_PARTIAL_INFORMATION *emu_query(EMU_DEVICE *dev, UNICODE_STRING *name)
{
    HANDLE key = emu_key(dev);
    ULONG got = 0;
    KEY_VALUE_PARTIAL_INFORMATION *info;
    if (!key) return NULL;
    info = ExAllocatePool(NonPagedPool, EMU_VALUE_MAX);
    if (!info) return NULL;
    if (!NT_SUCCESS(ZwQueryValueKey(key, name, KeyValuePartialInformation, info, EMU_VALUE_MAX, &got))) {
        ExFreePool(info);
        return NULL;
    }
    return info;
}

static KEY_VALUE_PARTIAL_INFORMATION *emu_query_str(EMU_DEVICE *dev, const WCHAR *name)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, name);
    return emu_query(dev, &us);
}

static ULONG emu_dword(EMU_DEVICE *dev, const WCHAR *name, ULONG def)
{
    KEY_VALUE_PARTIAL_INFORMATION *info = emu_query_str(dev, name);
    ULONG v = def;
    if (info) {
        if (info->Type == REG_DWORD && info->DataLength >= 4) emu_copy(&v, info->Data, 4);
        ExFreePool(info);
    }
    return v;
}

static void emu_set(EMU_DEVICE *dev, const WCHAR *name, ULONG type, void *data, ULONG len)
{
    UNICODE_STRING us;
    HANDLE key = emu_key(dev);
    if (!key) return;
    RtlInitUnicodeString(&us, name);
    ZwSetValueKey(key, &us, 0, type, data, len);
}

/* Copies a registry value to an output buffer; reports the length it needed. */
static NTSTATUS emu_value_out(EMU_DEVICE *dev, UNICODE_STRING *name, void *out, ULONG outlen, ULONG_PTR *info_len)
{
    KEY_VALUE_PARTIAL_INFORMATION *info = emu_query(dev, name);
    NTSTATUS st;
    if (!info) return STATUS_INVALID_PARAMETER;
    if (info->DataLength > outlen) {
        st = STATUS_BUFFER_TOO_SMALL;
    } else {
        emu_copy(out, info->Data, info->DataLength);
        *info_len = info->DataLength;
        st = STATUS_SUCCESS;
    }
    ExFreePool(info);
    return st;
}

/* ---- request log: lets tests measure a poller's cadence ---- */

static void emu_log_request(EMU_DEVICE *dev)
{
    KEY_VALUE_PARTIAL_INFORMATION *info;
    ULONGLONG ring[EMU_TIME_RING];
    LARGE_INTEGER now;
    ULONG count, i;

    KeWaitForSingleObject(&dev->log_lock, Executive, KernelMode, FALSE, NULL);
    count = emu_dword(dev, L"RequestCount", 0) + 1;
    for (i = 0; i < EMU_TIME_RING; i++) ring[i] = 0;
    info = emu_query_str(dev, L"RequestTimes");
    if (info) {
        if (info->DataLength == sizeof(ring)) emu_copy(ring, info->Data, sizeof(ring));
        ExFreePool(info);
    }
    KeQuerySystemTime(&now);
    ring[(count - 1) % EMU_TIME_RING] = (ULONGLONG)now.QuadPart / 10000;
    emu_set(dev, L"RequestCount", REG_DWORD, &count, sizeof(count));
    emu_set(dev, L"RequestTimes", REG_BINARY, ring, sizeof(ring));
    KeReleaseMutex(&dev->log_lock, FALSE);
}

/* ---- the output and its countdown ---- */

static LONGLONG emu_now_ms(void)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart / 10000;
}

static ULONG emu_bits(const UCHAR *bytes, ULONG bit, ULONG size)
{
    ULONG v = 0, i;
    for (i = 0; i < size && i < 32; i++)
        if (bytes[(bit + i) / 8] >> ((bit + i) % 8) & 1) v |= 1u << i;
    return v;
}

static void emu_put_bits(UCHAR *bytes, ULONG bit, ULONG size, ULONG v)
{
    ULONG i;
    for (i = 0; i < size && i < 32; i++) {
        UCHAR mask = (UCHAR)(1u << ((bit + i) % 8));
        if (v >> i & 1) bytes[(bit + i) / 8] |= mask;
        else bytes[(bit + i) / 8] &= (UCHAR)~mask;
    }
}

static void emu_off_load(EMU_DEVICE *dev)
{
    KEY_VALUE_PARTIAL_INFORMATION *info = emu_query_str(dev, L"OffDelayField");
    dev->off.id = 0;
    dev->off_at = 0;
    dev->off_since = 0;
    if (!info) return;
    if (info->DataLength == sizeof(dev->off)) emu_copy(&dev->off, info->Data, sizeof(dev->off));
    ExFreePool(info);
    if (dev->off.size == 0 || dev->off.size > 32) dev->off.id = 0;
}

static void emu_off_publish(EMU_DEVICE *dev)
{
    ULONGLONG end = (ULONGLONG)dev->off_at;
    emu_set(dev, L"OffDelayEnd", REG_BINARY, &end, sizeof(end));
}

/* A host wrote the report that holds DelayBeforeShutdown. */
static void emu_off_written(EMU_DEVICE *dev, const UCHAR *report, ULONG len)
{
    ULONG raw, writes;
    LONG value;
    if ((ULONG)(dev->off.bit + dev->off.size + 7) / 8 > len) return;
    raw = emu_bits(report, dev->off.bit, dev->off.size);
    value = (LONG)raw;
    if ((dev->off.flags & EMU_OFF_SIGNED) && dev->off.size < 32 && (raw >> (dev->off.size - 1) & 1))
        value = (LONG)(raw | (~0u << dev->off.size));
    writes = emu_dword(dev, L"OffDelayWrites", 0) + 1;
    emu_set(dev, L"OffDelayLast", REG_DWORD, &value, sizeof(value));
    emu_set(dev, L"OffDelayWrites", REG_DWORD, &writes, sizeof(writes));
    if (value <= 0) {
        dev->off_at = 0;
    } else {
        if (dev->off.flags & EMU_OFF_MINUTES) value = value / 60 * 60;
        dev->off_at = emu_now_ms() + (LONGLONG)value * 1000;
    }
    emu_off_publish(dev);
}

/* A read of the report gives the seconds left while the countdown runs. */
static void emu_off_read(EMU_DEVICE *dev, UCHAR *report, ULONG len)
{
    LONGLONG at = dev->off_at, left;
    if (!at || (ULONG)(dev->off.bit + dev->off.size + 7) / 8 > len) return;
    left = (at - emu_now_ms() + 999) / 1000;
    emu_put_bits(report, dev->off.bit, dev->off.size, (ULONG)(left < 0 ? 0 : left));
}

static BOOLEAN emu_mains_present(EMU_DEVICE *dev)
{
    WCHAR name[32];
    UNICODE_STRING us;
    KEY_VALUE_PARTIAL_INFORMATION *info;
    BOOLEAN present = TRUE;
    if (!dev->off.ac_id) return TRUE;
    emu_name(name, L"Feature", dev->off.ac_id, &us);
    info = emu_query(dev, &us);
    if (!info) return TRUE;
    if ((ULONG)dev->off.ac_bit / 8 < info->DataLength) present = emu_bits(info->Data, dev->off.ac_bit, 1) != 0;
    ExFreePool(info);
    return present;
}

/* Every tick of the input thread: the countdown's end, and the mains' return. */
static void emu_output_tick(EMU_DEVICE *dev)
{
    LONGLONG now, at = dev->off_at;
    ULONG v;
    if (!dev->off.id || (!at && !dev->off_since)) return;
    now = emu_now_ms();
    if (at && now >= at) {
        dev->off_at = 0;
        dev->off_since = now;
        v = 0;
        emu_set(dev, L"OutputOn", REG_DWORD, &v, sizeof(v));
        v = emu_dword(dev, L"OutputOffs", 0) + 1;
        emu_set(dev, L"OutputOffs", REG_DWORD, &v, sizeof(v));
        emu_off_publish(dev);
    } else if (!at && dev->off_since && now - dev->off_since >= EMU_RESTART_MS && emu_mains_present(dev)) {
        dev->off_since = 0;
        v = 1;
        emu_set(dev, L"OutputOn", REG_DWORD, &v, sizeof(v));
    }
}

/* ---- the pending input report ---- */

static void NTAPI emu_cancel_read(PDEVICE_OBJECT fdo, PIRP irp)
{
    EMU_DEVICE *dev = emu_dev(fdo);
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&dev->lock, &irql);
    if (dev->pending_read == irp) dev->pending_read = NULL;
    KeReleaseSpinLock(&dev->lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static void emu_flush_read(EMU_DEVICE *dev, NTSTATUS status)
{
    KIRQL irql;
    PIRP irp;
    KeAcquireSpinLock(&dev->lock, &irql);
    irp = dev->pending_read;
    dev->pending_read = NULL;
    KeReleaseSpinLock(&dev->lock, irql);
    if (irp && IoSetCancelRoutine(irp, NULL)) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static NTSTATUS emu_queue_read(EMU_DEVICE *dev, PIRP irp)
{
    KIRQL irql;
    PIRP old;
    if (dev->removed) return STATUS_DEVICE_NOT_CONNECTED;
    KeAcquireSpinLock(&dev->lock, &irql);
    old = dev->pending_read;
    dev->pending_read = irp;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, emu_cancel_read);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
        dev->pending_read = NULL;
        KeReleaseSpinLock(&dev->lock, irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&dev->lock, irql);
    /* Only one read is expected; an older one is answered as cancelled. */
    if (old && IoSetCancelRoutine(old, NULL)) {
        old->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(old, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

/* ---- input reports ---- */

static BOOLEAN emu_same(const UCHAR *a, const UCHAR *b, ULONG n)
{
    while (n--) if (*a++ != *b++) return FALSE;
    return TRUE;
}

/* "Input" followed by decimal digits only. */
static BOOLEAN emu_is_input_name(const WCHAR *name, ULONG chars)
{
    static const WCHAR prefix[] = L"Input";
    ULONG i;
    if (chars <= 5) return FALSE;
    for (i = 0; i < 5; i++) if (name[i] != prefix[i]) return FALSE;
    for (; i < chars; i++) if (name[i] < L'0' || name[i] > L'9') return FALSE;
    return TRUE;
}

static EMU_INPUT *emu_input_for(EMU_DEVICE *dev, UCHAR id)
{
    ULONG i;
    for (i = 0; i < dev->ninputs; i++) if (dev->inputs[i].now[0] == id) return &dev->inputs[i];
    if (dev->ninputs >= EMU_INPUT_MAX) return NULL;
    dev->inputs[dev->ninputs].len = 0;
    return &dev->inputs[dev->ninputs++];
}

/* Re-reads every Input<id> value of the key; a report seen for the first
 * time is news. */
static void emu_input_refresh(EMU_DEVICE *dev)
{
    union { KEY_VALUE_BASIC_INFORMATION info; UCHAR bytes[256]; } basic;
    WCHAR name[64];
    UNICODE_STRING us;
    ULONG index, got, chars, i;
    dev->flood = emu_dword(dev, L"InputFlood", 0);
    for (index = 0; ZwEnumerateValueKey(emu_key(dev), index, KeyValueBasicInformation, &basic, sizeof(basic), &got) == STATUS_SUCCESS; index++) {
        KEY_VALUE_PARTIAL_INFORMATION *value;
        EMU_INPUT *input;
        chars = basic.info.NameLength / sizeof(WCHAR);
        if (chars >= 64 || !emu_is_input_name(basic.info.Name, chars)) continue;
        for (i = 0; i < chars; i++) name[i] = basic.info.Name[i];
        name[chars] = 0;
        RtlInitUnicodeString(&us, name);
        value = emu_query(dev, &us);
        if (!value) continue;
        if (value->DataLength >= 1 && value->DataLength <= EMU_INPUT_BYTES && (input = emu_input_for(dev, value->Data[0]))) {
            if (input->len != value->DataLength || !emu_same(input->now, value->Data, value->DataLength))
                input->news = TRUE;
            emu_copy(input->now, value->Data, value->DataLength);
            input->len = value->DataLength;
        }
        ExFreePool(value);
    }
}

/* Completes hidclass's pending read with bytes; FALSE when no read is
 * pending just now. A read whose buffer cannot take the report (a device
 * without Input items) is left alone, and the report counts as sent. */
static BOOLEAN emu_input_deliver(EMU_DEVICE *dev, const UCHAR *bytes, ULONG len)
{
    KIRQL irql;
    PIRP irp;
    ULONG room;
    /* Without report ids hidclass reads the report without its id byte. */
    if (bytes[0] == 0) { bytes++; len--; }
    KeAcquireSpinLock(&dev->lock, &irql);
    irp = dev->pending_read;
    if (irp) {
        room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
        if (!irp->UserBuffer || room > EMU_READ_MAX || room < len || !len) {
            KeReleaseSpinLock(&dev->lock, irql);
            return TRUE;
        }
        dev->pending_read = NULL;
    }
    KeReleaseSpinLock(&dev->lock, irql);
    if (!irp) return FALSE;
    if (!IoSetCancelRoutine(irp, NULL)) return TRUE;   /* being cancelled: its routine completes it */
    emu_copy(irp->UserBuffer, bytes, len);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = len;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return TRUE;
}

/* One report a tick at most: the first that changed, or in a flood the
 * next in turn with its last byte stirred so that no two in a row match. */
static void emu_input_send(EMU_DEVICE *dev)
{
    UCHAR bytes[EMU_INPUT_BYTES];
    EMU_INPUT *input = NULL;
    ULONG i;
    if (!dev->ninputs) return;
    if (dev->flood) {
        input = &dev->inputs[dev->flood_turn++ % dev->ninputs];
        if (!input->len) return;
        emu_copy(bytes, input->now, input->len);
        if (input->len > 1) bytes[input->len - 1] ^= (UCHAR)(++dev->flood_count | 1);
    } else {
        for (i = 0; i < dev->ninputs && !input; i++)
            if (dev->inputs[i].len && dev->inputs[i].news)
                input = &dev->inputs[i];
        if (!input) return;
        emu_copy(bytes, input->now, input->len);
    }
    if (emu_input_deliver(dev, bytes, input->len)) input->news = FALSE;
}

static void NTAPI emu_input_thread(void *context)
{
    EMU_DEVICE *dev = context;
    LARGE_INTEGER tick;
    ULONG serial, i;
    dev->input_serial = emu_dword(dev, L"InputSerial", 0);
    emu_input_refresh(dev);
    /* What the device holds when it starts is no news. */
    for (i = 0; i < dev->ninputs; i++) dev->inputs[i].news = FALSE;
    for (;;) {
        tick.QuadPart = -(LONGLONG)(dev->flood ? EMU_FLOOD_TICK_MS : EMU_INPUT_TICK_MS) * 10000;
        if (KeWaitForSingleObject(&dev->input_stop, Executive, KernelMode, FALSE, &tick) == STATUS_SUCCESS) break;
        serial = emu_dword(dev, L"InputSerial", 0);
        if (serial != dev->input_serial) {
            dev->input_serial = serial;
            emu_input_refresh(dev);
        }
        emu_input_send(dev);
        emu_output_tick(dev);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static void emu_start_input(EMU_DEVICE *dev)
{
    HANDLE thread = NULL;
    if (dev->input_thread || !emu_key(dev)) return;
    dev->ninputs = 0;
    dev->flood = 0;
    emu_off_load(dev);
    KeClearEvent(&dev->input_stop);
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, emu_input_thread, dev)))
        dev->input_thread = thread;
}

/* Before the key closes and the device goes: the thread uses both. */
static void emu_stop_input(EMU_DEVICE *dev)
{
    if (!dev->input_thread) return;
    KeSetEvent(&dev->input_stop, IO_NO_INCREMENT, FALSE);
    ZwWaitForSingleObject(dev->input_thread, FALSE, NULL);
    ZwClose(dev->input_thread);
    dev->input_thread = NULL;
}

/* ---- request handlers ---- */

static NTSTATUS emu_get_report(EMU_DEVICE *dev, PIRP irp, const WCHAR *prefix, BOOLEAN is_feature)
{
    EMU_HID_XFER_PACKET *packet = irp->UserBuffer;
    WCHAR name[32];
    UNICODE_STRING us;
    ULONG fail_report, delay, status;

    if (!packet || !packet->reportBuffer) return STATUS_INVALID_PARAMETER;
    if (is_feature) {
        emu_log_request(dev);
        delay = emu_dword(dev, L"DelayMs", 0);
        if (delay) {
            LARGE_INTEGER interval;
            interval.QuadPart = -(LONGLONG)delay * 10000;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
        /* Read the failure controls after the delay so a test can flip them
         * while a slow request is in flight. */
        status = emu_dword(dev, L"FailStatus", 0);
        if (!status) status = (ULONG)STATUS_DEVICE_NOT_CONNECTED;
        if (emu_dword(dev, L"FailAll", 0)) return (NTSTATUS)status;
        fail_report = emu_dword(dev, L"FailReport", 0);
        if (fail_report && fail_report == packet->reportId) return (NTSTATUS)status;
    }
    emu_name(name, prefix, packet->reportId, &us);
    status = (ULONG)emu_value_out(dev, &us, packet->reportBuffer, packet->reportBufferLen, &irp->IoStatus.Information);
    if (is_feature && status == STATUS_SUCCESS && dev->off.id && packet->reportId == dev->off.id)
        emu_off_read(dev, packet->reportBuffer, (ULONG)irp->IoStatus.Information);
    return (NTSTATUS)status;
}

static NTSTATUS emu_set_report(EMU_DEVICE *dev, PIRP irp, const WCHAR *prefix, BOOLEAN is_feature)
{
    EMU_HID_XFER_PACKET *packet = irp->UserBuffer;
    WCHAR name[32];
    UNICODE_STRING us;
    HANDLE key = emu_key(dev);
    ULONG sets;
    if (!packet || !packet->reportBuffer || !key) return STATUS_INVALID_PARAMETER;
    sets = emu_dword(dev, L"SetRequests", 0) + 1;
    emu_set(dev, L"SetRequests", REG_DWORD, &sets, sizeof(sets));
    emu_name(name, prefix, packet->reportId, &us);
    ZwSetValueKey(key, &us, 0, REG_BINARY, packet->reportBuffer, packet->reportBufferLen);
    if (is_feature && dev->off.id && packet->reportId == dev->off.id)
        emu_off_written(dev, packet->reportBuffer, packet->reportBufferLen);
    irp->IoStatus.Information = packet->reportBufferLen;
    return STATUS_SUCCESS;
}

static NTSTATUS emu_get_string(EMU_DEVICE *dev, PIRP irp, ULONG outlen)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG id = (ULONG)(ULONG_PTR)stack->Parameters.DeviceIoControl.Type3InputBuffer & 0xffff;
    const WCHAR *name;
    KEY_VALUE_PARTIAL_INFORMATION *info;
    WCHAR *out = irp->UserBuffer;
    ULONG len, max_chars;

    switch (id) {
    case 1: case 14: name = L"Manufacturer"; break;
    case 2: case 15: name = L"Product"; break;
    case 3: case 16: name = L"Serial"; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    if (!out || outlen < sizeof(WCHAR)) return STATUS_BUFFER_TOO_SMALL;
    max_chars = outlen / sizeof(WCHAR);
    info = emu_query_str(dev, name);
    if (!info) return STATUS_INVALID_PARAMETER;
    len = info->DataLength / sizeof(WCHAR);
    if (len && ((WCHAR *)info->Data)[len - 1] == 0) len--;
    /* Cut to fit with a terminator, or, like a device that fills whatever
     * buffer it is given, as many units as fit and no terminator. */
    if (emu_dword(dev, L"UnterminatedStrings", 0)) {
        if (len > max_chars) len = max_chars;
    } else if (len > max_chars - 1) {
        len = max_chars - 1;
    }
    emu_copy(out, info->Data, len * sizeof(WCHAR));
    if (len < max_chars) out[len] = 0;
    ExFreePool(info);
    irp->IoStatus.Information = (len < max_chars ? len + 1 : len) * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI emu_internal_ioctl(PDEVICE_OBJECT fdo, PIRP irp)
{
    EMU_DEVICE *dev = emu_dev(fdo);
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG outlen = stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;
    UNICODE_STRING us;

    irp->IoStatus.Information = 0;
    switch (code) {
    case IOCTL_EMU_GET_DEVICE_DESCRIPTOR: {
        EMU_HID_DESCRIPTOR d;
        KEY_VALUE_PARTIAL_INFORMATION *info = emu_query_str(dev, L"ReportDescriptor");
        if (!info) { status = STATUS_DEVICE_CONFIGURATION_ERROR; break; }
        d.bLength = sizeof(d);
        d.bDescriptorType = 0x21;
        d.bcdHID = 0x0111;
        d.bCountry = 0;
        d.bNumDescriptors = 1;
        d.bReportType = 0x22;
        d.wReportLength = (USHORT)info->DataLength;
        ExFreePool(info);
        if (outlen < sizeof(d)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        emu_copy(irp->UserBuffer, &d, sizeof(d));
        irp->IoStatus.Information = sizeof(d);
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_EMU_GET_REPORT_DESCRIPTOR:
        RtlInitUnicodeString(&us, L"ReportDescriptor");
        status = emu_value_out(dev, &us, irp->UserBuffer, outlen, &irp->IoStatus.Information);
        break;
    case IOCTL_EMU_GET_DEVICE_ATTRIBUTES: {
        EMU_HID_DEVICE_ATTRIBUTES a;
        ULONG i;
        if (outlen < sizeof(a)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        a.Size = sizeof(a);
        a.VendorID = (USHORT)emu_dword(dev, L"VendorId", 0x1209);
        a.ProductID = (USHORT)emu_dword(dev, L"ProductId", 0xC0F0);
        a.VersionNumber = (USHORT)emu_dword(dev, L"VersionNumber", 0x0100);
        for (i = 0; i < 11; i++) a.Reserved[i] = 0;
        emu_copy(irp->UserBuffer, &a, sizeof(a));
        irp->IoStatus.Information = sizeof(a);
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_EMU_GET_STRING:
        status = emu_get_string(dev, irp, outlen);
        break;
    case IOCTL_EMU_READ_REPORT:
        status = emu_queue_read(dev, irp);
        if (status == STATUS_PENDING) return status;
        break;
    case IOCTL_EMU_GET_FEATURE:
        status = emu_get_report(dev, irp, L"Feature", TRUE);
        break;
    case IOCTL_EMU_GET_INPUT_REPORT:
        status = emu_get_report(dev, irp, L"Input", FALSE);
        break;
    case IOCTL_EMU_SET_FEATURE:
        status = emu_set_report(dev, irp, L"SetFeature", TRUE);
        break;
    case IOCTL_EMU_SET_OUTPUT_REPORT:
    case IOCTL_EMU_WRITE_REPORT:
        status = emu_set_report(dev, irp, L"Output", FALSE);
        break;
    case IOCTL_EMU_ACTIVATE_DEVICE:
    case IOCTL_EMU_DEACTIVATE_DEVICE:
    case IOCTL_EMU_SEND_IDLE:
        status = STATUS_SUCCESS;
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI emu_pnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    EMU_DEVICE *dev = emu_dev(fdo);
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT next = ((EMU_HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->NextDeviceObject;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        dev->removed = FALSE;
        emu_start_input(dev);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        /* hidclass waits for its read; answer it or removal hangs. */
        dev->removed = TRUE;
        emu_stop_input(dev);
        emu_flush_read(dev, STATUS_DELETE_PENDING);
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE && dev->key) {
            ZwClose(dev->key);
            dev->key = NULL;
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(next, irp);
}

static NTSTATUS NTAPI emu_power(PDEVICE_OBJECT fdo, PIRP irp)
{
    PDEVICE_OBJECT next = ((EMU_HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->NextDeviceObject;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(next, irp);
}

static NTSTATUS NTAPI emu_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo)
{
    EMU_HID_DEVICE_EXTENSION *ext = fdo->DeviceExtension;
    EMU_DEVICE *dev = ext->MiniDeviceExtension;
    (void)driver;
    dev->pdo = ext->PhysicalDeviceObject;
    dev->key = NULL;
    dev->pending_read = NULL;
    dev->removed = FALSE;
    dev->input_thread = NULL;
    dev->ninputs = 0;
    KeInitializeEvent(&dev->input_stop, NotificationEvent, FALSE);
    KeInitializeSpinLock(&dev->lock);
    KeInitializeMutex(&dev->log_lock, 0);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void NTAPI emu_unload(PDRIVER_OBJECT driver)
{
    (void)driver;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    EMU_HID_MINIDRIVER_REGISTRATION reg;
    ULONG i;

    driver->MajorFunction[IRP_MJ_PNP] = emu_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = emu_power;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = emu_internal_ioctl;
    driver->DriverExtension->AddDevice = emu_add_device;
    driver->DriverUnload = emu_unload;

    for (i = 0; i < sizeof(reg); i++) ((volatile UCHAR *)&reg)[i] = 0;
    reg.Revision = 1;
    reg.DriverObject = driver;
    reg.RegistryPath = registry_path;
    reg.DeviceExtensionSize = sizeof(EMU_DEVICE);
    reg.DevicesArePolled = FALSE;
    return HidRegisterMinidriver(&reg);
}
