// Where the Windows x64 kernel structures keep their fields: offset and size of every
// field that the driver, or the toolchain's inline request helpers compiled into it,
// touches, and the size of each structure.
//
// The numbers are those of the toolchain's own x64 kernel headers. One table serves two
// checks so that they cannot drift apart: the host platform asserts its Kernel.h against
// it (hostplatform/src/WindowsX64Layouts.cpp), and the Windows build asserts the
// toolchain's headers against it (tests/windows/layouts_mingw.cpp, compiled by
// scripts/compile-driver-mingw). A loaded driver image finds its fields where it expects
// them only while both hold.
//
// RAILWATCH_X64_FIELDS(FIELD) calls FIELD(type, member path, offset, size) per field;
// RAILWATCH_X64_SIZES(SIZE) calls SIZE(type, size) per structure;
// RAILWATCH_ASSERT_X64_LAYOUTS() turns both into static assertions (offsetof needs
// <stddef.h>).
#pragma once

#define RAILWATCH_ASSERT_X64_FIELD(type, member, offset, size)                       \
    static_assert(offsetof(type, member) == (offset), #type "::" #member " offset"); \
    static_assert(sizeof(static_cast<type*>(nullptr)->member) == (size),             \
                  #type "::" #member " size");
#define RAILWATCH_ASSERT_X64_SIZE(type, size) static_assert(sizeof(type) == (size), #type " size");
#define RAILWATCH_ASSERT_X64_LAYOUTS()               \
    RAILWATCH_X64_FIELDS(RAILWATCH_ASSERT_X64_FIELD) \
    RAILWATCH_X64_SIZES(RAILWATCH_ASSERT_X64_SIZE)

#define RAILWATCH_X64_SIZES(SIZE) \
    SIZE(UNICODE_STRING, 16)      \
    SIZE(LARGE_INTEGER, 8)        \
    SIZE(PHYSICAL_ADDRESS, 8)     \
    SIZE(GUID, 16)                \
    SIZE(LIST_ENTRY, 16)          \
    SIZE(KSPIN_LOCK, 8)           \
    SIZE(KEVENT, 24)              \
    SIZE(IO_REMOVE_LOCK, 32)      \
    SIZE(IO_STATUS_BLOCK, 16)     \
    SIZE(POWER_STATE, 4)          \
    SIZE(DRIVER_EXTENSION, 40)    \
    SIZE(DRIVER_OBJECT, 336)      \
    SIZE(DEVICE_OBJECT, 328)      \
    SIZE(FILE_OBJECT, 216)        \
    SIZE(IO_STACK_LOCATION, 72)   \
    SIZE(IRP, 208)

#define RAILWATCH_X64_FIELDS(FIELD)                                               \
    FIELD(UNICODE_STRING, Length, 0, 2)                                           \
    FIELD(UNICODE_STRING, MaximumLength, 2, 2)                                    \
    FIELD(UNICODE_STRING, Buffer, 8, 8)                                           \
    FIELD(LARGE_INTEGER, u.LowPart, 0, 4)                                         \
    FIELD(LARGE_INTEGER, u.HighPart, 4, 4)                                        \
    FIELD(LARGE_INTEGER, QuadPart, 0, 8)                                          \
    FIELD(GUID, Data1, 0, 4)                                                      \
    FIELD(GUID, Data2, 4, 2)                                                      \
    FIELD(GUID, Data3, 6, 2)                                                      \
    FIELD(GUID, Data4, 8, 8)                                                      \
    FIELD(LIST_ENTRY, Flink, 0, 8)                                                \
    FIELD(LIST_ENTRY, Blink, 8, 8)                                                \
    FIELD(KEVENT, Header.Type, 0, 1)                                              \
    FIELD(KEVENT, Header.SignalState, 4, 4)                                       \
    FIELD(KEVENT, Header.WaitListHead, 8, 16)                                     \
    FIELD(IO_REMOVE_LOCK, Common.Removed, 0, 1)                                   \
    FIELD(IO_REMOVE_LOCK, Common.IoCount, 4, 4)                                   \
    FIELD(IO_REMOVE_LOCK, Common.RemoveEvent, 8, 24)                              \
    FIELD(IO_STATUS_BLOCK, Status, 0, 4)                                          \
    FIELD(IO_STATUS_BLOCK, Pointer, 0, 8)                                         \
    FIELD(IO_STATUS_BLOCK, Information, 8, 8)                                     \
    FIELD(DRIVER_EXTENSION, DriverObject, 0, 8)                                   \
    FIELD(DRIVER_EXTENSION, AddDevice, 8, 8)                                      \
    FIELD(DRIVER_EXTENSION, Count, 16, 4)                                         \
    FIELD(DRIVER_EXTENSION, ServiceKeyName, 24, 16)                               \
    FIELD(DRIVER_OBJECT, Type, 0, 2)                                              \
    FIELD(DRIVER_OBJECT, Size, 2, 2)                                              \
    FIELD(DRIVER_OBJECT, DeviceObject, 8, 8)                                      \
    FIELD(DRIVER_OBJECT, Flags, 16, 4)                                            \
    FIELD(DRIVER_OBJECT, DriverStart, 24, 8)                                      \
    FIELD(DRIVER_OBJECT, DriverSize, 32, 4)                                       \
    FIELD(DRIVER_OBJECT, DriverSection, 40, 8)                                    \
    FIELD(DRIVER_OBJECT, DriverExtension, 48, 8)                                  \
    FIELD(DRIVER_OBJECT, DriverName, 56, 16)                                      \
    FIELD(DRIVER_OBJECT, HardwareDatabase, 72, 8)                                 \
    FIELD(DRIVER_OBJECT, FastIoDispatch, 80, 8)                                   \
    FIELD(DRIVER_OBJECT, DriverInit, 88, 8)                                       \
    FIELD(DRIVER_OBJECT, DriverStartIo, 96, 8)                                    \
    FIELD(DRIVER_OBJECT, DriverUnload, 104, 8)                                    \
    FIELD(DRIVER_OBJECT, MajorFunction, 112, 224)                                 \
    FIELD(DEVICE_OBJECT, Type, 0, 2)                                              \
    FIELD(DEVICE_OBJECT, Size, 2, 2)                                              \
    FIELD(DEVICE_OBJECT, ReferenceCount, 4, 4)                                    \
    FIELD(DEVICE_OBJECT, DriverObject, 8, 8)                                      \
    FIELD(DEVICE_OBJECT, NextDevice, 16, 8)                                       \
    FIELD(DEVICE_OBJECT, AttachedDevice, 24, 8)                                   \
    FIELD(DEVICE_OBJECT, CurrentIrp, 32, 8)                                       \
    FIELD(DEVICE_OBJECT, Timer, 40, 8)                                            \
    FIELD(DEVICE_OBJECT, Flags, 48, 4)                                            \
    FIELD(DEVICE_OBJECT, Characteristics, 52, 4)                                  \
    FIELD(DEVICE_OBJECT, Vpb, 56, 8)                                              \
    FIELD(DEVICE_OBJECT, DeviceExtension, 64, 8)                                  \
    FIELD(DEVICE_OBJECT, DeviceType, 72, 4)                                       \
    FIELD(DEVICE_OBJECT, StackSize, 76, 1)                                        \
    FIELD(DEVICE_OBJECT, Queue, 80, 72)                                           \
    FIELD(DEVICE_OBJECT, AlignmentRequirement, 152, 4)                            \
    FIELD(DEVICE_OBJECT, DeviceQueue, 160, 40)                                    \
    FIELD(DEVICE_OBJECT, Dpc, 200, 64)                                            \
    FIELD(DEVICE_OBJECT, ActiveThreadCount, 264, 4)                               \
    FIELD(DEVICE_OBJECT, SecurityDescriptor, 272, 8)                              \
    FIELD(DEVICE_OBJECT, DeviceLock, 280, 24)                                     \
    FIELD(DEVICE_OBJECT, SectorSize, 304, 2)                                      \
    FIELD(DEVICE_OBJECT, Spare1, 306, 2)                                          \
    FIELD(DEVICE_OBJECT, DeviceObjectExtension, 312, 8)                           \
    FIELD(DEVICE_OBJECT, Reserved, 320, 8)                                        \
    FIELD(FILE_OBJECT, Type, 0, 2)                                                \
    FIELD(FILE_OBJECT, Size, 2, 2)                                                \
    FIELD(FILE_OBJECT, DeviceObject, 8, 8)                                        \
    FIELD(FILE_OBJECT, Vpb, 16, 8)                                                \
    FIELD(FILE_OBJECT, FsContext, 24, 8)                                          \
    FIELD(FILE_OBJECT, FsContext2, 32, 8)                                         \
    FIELD(IO_STACK_LOCATION, MajorFunction, 0, 1)                                 \
    FIELD(IO_STACK_LOCATION, MinorFunction, 1, 1)                                 \
    FIELD(IO_STACK_LOCATION, Flags, 2, 1)                                         \
    FIELD(IO_STACK_LOCATION, Control, 3, 1)                                       \
    FIELD(IO_STACK_LOCATION, Parameters, 8, 32)                                   \
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength, 8, 4) \
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, 16, 4) \
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 24, 4)     \
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer, 32, 8)  \
    FIELD(IO_STACK_LOCATION, Parameters.Power.SystemContext, 8, 4)                \
    FIELD(IO_STACK_LOCATION, Parameters.Power.Type, 16, 4)                        \
    FIELD(IO_STACK_LOCATION, Parameters.Power.State, 24, 4)                       \
    FIELD(IO_STACK_LOCATION, Parameters.Power.ShutdownType, 32, 4)                \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument1, 8, 8)                   \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument2, 16, 8)                  \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument3, 24, 8)                  \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument4, 32, 8)                  \
    FIELD(IO_STACK_LOCATION, DeviceObject, 40, 8)                                 \
    FIELD(IO_STACK_LOCATION, FileObject, 48, 8)                                   \
    FIELD(IO_STACK_LOCATION, CompletionRoutine, 56, 8)                            \
    FIELD(IO_STACK_LOCATION, Context, 64, 8)                                      \
    FIELD(IRP, Type, 0, 2)                                                        \
    FIELD(IRP, Size, 2, 2)                                                        \
    FIELD(IRP, MdlAddress, 8, 8)                                                  \
    FIELD(IRP, Flags, 16, 4)                                                      \
    FIELD(IRP, AssociatedIrp.MasterIrp, 24, 8)                                    \
    FIELD(IRP, AssociatedIrp.IrpCount, 24, 4)                                     \
    FIELD(IRP, AssociatedIrp.SystemBuffer, 24, 8)                                 \
    FIELD(IRP, ThreadListEntry, 32, 16)                                           \
    FIELD(IRP, IoStatus, 48, 16)                                                  \
    FIELD(IRP, RequestorMode, 64, 1)                                              \
    FIELD(IRP, PendingReturned, 65, 1)                                            \
    FIELD(IRP, StackCount, 66, 1)                                                 \
    FIELD(IRP, CurrentLocation, 67, 1)                                            \
    FIELD(IRP, Cancel, 68, 1)                                                     \
    FIELD(IRP, CancelIrql, 69, 1)                                                 \
    FIELD(IRP, ApcEnvironment, 70, 1)                                             \
    FIELD(IRP, AllocationFlags, 71, 1)                                            \
    FIELD(IRP, UserIosb, 72, 8)                                                   \
    FIELD(IRP, UserEvent, 80, 8)                                                  \
    FIELD(IRP, Overlay, 88, 16)                                                   \
    FIELD(IRP, CancelRoutine, 104, 8)                                             \
    FIELD(IRP, UserBuffer, 112, 8)                                                \
    FIELD(IRP, Tail, 120, 88)                                                     \
    FIELD(IRP, Tail.Overlay.DriverContext, 120, 32)                               \
    FIELD(IRP, Tail.Overlay.Thread, 152, 8)                                       \
    FIELD(IRP, Tail.Overlay.AuxiliaryBuffer, 160, 8)                              \
    FIELD(IRP, Tail.Overlay.ListEntry, 168, 16)                                   \
    FIELD(IRP, Tail.Overlay.CurrentStackLocation, 184, 8)                         \
    FIELD(IRP, Tail.Overlay.OriginalFileObject, 192, 8)                           \
    FIELD(IRP, Tail.Apc, 120, 88)                                                 \
    FIELD(IRP, Tail.CompletionKey, 120, 8)
