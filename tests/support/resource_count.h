// Counts of what a process holds, for the leak tests: GDI objects, kernel
// handles and busy heap blocks. GetGuiResources and GetProcessHandleCount
// answer 0 under Wine, so the counts are read from the tables themselves:
// the GDI handle table that the PEB points to (GdiSharedHandleTable), and the
// system's handle list (SystemHandleInformation). Test code only.
#pragma once
#include <windows.h>
#include <winternl.h>
#include <psapi.h>
#include <vector>

namespace resource_count {

// One entry of the GDI handle table, as Windows and Wine lay it out.
struct GdiEntry {
    UINT64 Object;
    USHORT ProcessId;
    USHORT Count;
    USHORT Unique;       // bit 7: a stock object; high byte: bumped on every reuse
    UCHAR Type;          // 0: a free entry
    UCHAR Flags;
    UINT64 UserPointer;
};
static_assert(sizeof(GdiEntry) == 24, "the GDI handle table entry is 24 bytes on 64-bit Windows");

const size_t GDI_TABLE_ENTRIES = 16384;
const size_t PEB_GDI_TABLE_OFFSET = 0xF8;

// A copy of the process's GDI handle table; false when it cannot be read.
inline bool ReadGdiTable(HANDLE process, std::vector<GdiEntry>* table)
{
    PROCESS_BASIC_INFORMATION basic = {};
    ULONG returned = 0;
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic), &returned) != 0)
        return false;
    UINT64 tableAddress = 0;
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, (BYTE*)basic.PebBaseAddress + PEB_GDI_TABLE_OFFSET, &tableAddress,
                           sizeof(tableAddress), &read) || tableAddress == 0)
        return false;
    table->resize(GDI_TABLE_ENTRIES);
    return ReadProcessMemory(process, (void*)tableAddress, table->data(), table->size() * sizeof(GdiEntry), &read);
}

// Live, non-stock GDI objects of the process; -1 when the table cannot be
// read. Wine keeps one table per process and leaves ProcessId 0; Windows
// shares one table per session and names the owner.
inline int CountGdiObjects(HANDLE process)
{
    std::vector<GdiEntry> table;
    if (!ReadGdiTable(process, &table))
        return -1;
    USHORT owner = (USHORT)GetProcessId(process);
    int count = 0;
    for (const GdiEntry& entry : table) {
        bool stock = (entry.Unique & 0x80) != 0;
        if (entry.Type != 0 && !stock && (entry.ProcessId == 0 || entry.ProcessId == owner))
            count++;
    }
    return count;
}

// Kernel handles open in the process with this id; -1 when the list cannot be read.
inline int CountHandles(DWORD processId)
{
    struct HandleEntry {
        USHORT ProcessId;
        USHORT CreatorBackTraceIndex;
        UCHAR ObjectType;
        UCHAR Attributes;
        USHORT Handle;
        void* Object;
        ULONG Access;
    };
    const SYSTEM_INFORMATION_CLASS SYSTEM_HANDLE_INFORMATION = (SYSTEM_INFORMATION_CLASS)16;
    std::vector<BYTE> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = NtQuerySystemInformation(SYSTEM_HANDLE_INFORMATION, buffer.data(), (ULONG)buffer.size(),
                                                   &needed);
        if (status == 0)
            break;
        if (status != (NTSTATUS)0xC0000004 || buffer.size() > (64u << 20))   // STATUS_INFO_LENGTH_MISMATCH
            return -1;
        buffer.resize(buffer.size() * 2);
    }
    ULONG total = *(ULONG*)buffer.data();
    const HandleEntry* entries = (const HandleEntry*)(buffer.data() + sizeof(ULONG_PTR));
    int count = 0;
    for (ULONG i = 0; i < total; i++) {
        if (entries[i].ProcessId == (USHORT)processId)
            count++;
    }
    return count;
}

// The process's committed private memory in bytes (PagefileUsage), the
// coarse view of its heap from outside; 0 when it cannot be read.
inline SIZE_T CommittedBytes(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!K32GetProcessMemoryInfo(process, &counters, sizeof(counters)))
        return 0;
    return counters.PagefileUsage;
}

struct HeapUsage {
    int Blocks;
    SIZE_T Bytes;
};

// Busy blocks of this process's default heap.
inline HeapUsage MeasureHeap()
{
    HeapUsage usage = { 0, 0 };
    HANDLE heap = GetProcessHeap();
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
            usage.Blocks++;
            usage.Bytes += entry.cbData;
        }
    }
    HeapUnlock(heap);
    return usage;
}

}  // namespace resource_count
