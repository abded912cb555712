// Tavoctl for .NET: sell for cash with a TAVO payment unit through the
// tavoctl library (tavoctl.dll on Windows, libtavoctl.so.1 on Linux).
//
//   using (var unit = new Tavoctl.Unit("virtual"))
//   {
//       unit.TradeBegin();
//       unit.Accept(1280);
//       while (unit.Board.Credit < 1280) { var units = unit.Units; Thread.Sleep(200); }
//       unit.Charge(1280);
//       unit.PayBack();
//       unit.WaitIdle();
//       unit.TradeEnd();
//   }
//
// The library's D2XX functions bind to the provider loaded before it: a
// Unit loads the provider first (Provider.Load). The exports are __stdcall
// on 32-bit Windows and use the one platform convention elsewhere, which
// CallingConvention.StdCall gives on every platform. One unit per process.
// ResultCodes.cs, generated from data/result-codes.tsv, holds the texts.
using System;
using System.IO;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Threading;

namespace Tavoctl
{
    /// <summary>The board record, 232 bytes, as tavoctl.h lays it out.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 4)]
    public struct PcbData
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)] public byte[] SerialNo;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 128)] public byte[] BoardText;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 15)] public uint[] Meters;
        public uint BoardAux;
        public uint TradeId;      // number of the open trade, 0 = none
        public ushort AcceptLimit; // money is accepted up to this amount
        public ushort Credit;      // the customer's money in the trade
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 7)] public byte[] BoardBlockA;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 7)] public byte[] BoardBlockB;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 2)] public byte[] Reserved;

        public string Serial { get { return Text(SerialNo); } }
        public uint Charged { get { return Meters[8]; } }

        internal static string Text(byte[] raw)
        {
            int n = Array.IndexOf(raw, (byte)0);
            return System.Text.Encoding.ASCII.GetString(raw, 0, n < 0 ? raw.Length : n);
        }
    }

    /// <summary>A money-unit record, 36 bytes. Coin arrays count the
    /// denominations 10, 50, 100, 500 in that order.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 4)]
    public struct TavoData
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 4)] public byte[] CoinIn;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 4)] public byte[] CoinStock;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 4)] public byte[] CoinOut;
        public uint CoinFlags;
        public uint CoinAux;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 2)] public byte[] CoinUnitId;
        public byte BillEscrow;
        public byte BillStacked;
        public byte BillStock;
        public byte BillOut;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 2)] public byte[] BillUnitId;
        public uint BillFlags;
        public uint BillAux;

        public static readonly int[] Coins = { 10, 50, 100, 500 };

        public CoinStatus CoinStatus { get { return (CoinStatus)(CoinFlags & 0xFF); } }
        public NoteStatus NoteStatus { get { return (NoteStatus)(BillFlags & 0xFF); } }
        public Pending CoinPending { get { return (Pending)(CoinFlags >> 24); } }
        public Pending NotePending { get { return (Pending)(BillFlags >> 24); } }
        /// <summary>A command to a unit is not yet reported done: keep polling.</summary>
        public bool IsPending { get { return (CoinFlags >> 24) != 0 || (BillFlags >> 24) != 0; } }
        public int CoinValueOut
        {
            get { int v = 0; for (int i = 0; i < 4; ++i) v += Coins[i] * CoinOut[i]; return v; }
        }
    }

    [Flags] public enum CoinStatus : uint { Accepting = 0x01, Stopped = 0x04, Latched = 0x08, Payout = 0x10, Settled = 0x20 }
    [Flags] public enum NoteStatus : uint { Accepting = 0x01, Stopped = 0x04, Payout = 0x08, Settled = 0x10, Held = 0x20 }
    [Flags] public enum Pending : uint { None = 0, Settle = 0x01, Payout = 0x02, Recheck = 0x04, Count = 0x08 }

    /// <summary>An export returned a code other than 0.</summary>
    public class TavoException : Exception
    {
        public TavoException(int code, string export)
            : base(string.Format("0x{0:X4} {1}", code, ResultCodes.Message(code)))
        {
            Code = code;
            Export = export;
            ResultInfo info = ResultCodes.Find(code);
            Info = info;
        }

        /// <summary>The 16-bit result code.</summary>
        public int Code { get; private set; }
        /// <summary>The export that was called.</summary>
        public string Export { get; private set; }
        /// <summary>The table's line for the code (null for an unknown code).</summary>
        public ResultInfo Info { get; private set; }
        /// <summary>What to do next: Retry, Poll, PayBack, ReadBoard...</summary>
        public Next? Next { get { return Info != null ? Info.Next : (Next?)null; } }
        public string Text { get { return Info != null ? Info.Text : Message; } }
    }

    /// <summary>The library or its provider could not be loaded.</summary>
    public class TavoLoadException : Exception
    {
        public TavoLoadException(string message) : base(message) { }
    }

    internal static class NativeMethods
    {
        // "tavoctl": tavoctl.dll on Windows; on Linux Tavoctl.dll.config maps
        // it to libtavoctl.so.1, which Provider.Load has loaded already.
        const string Lib = "tavoctl";
        const CallingConvention Call = CallingConvention.StdCall;

        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_Open")] internal static extern uint Open(out uint handle);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_Close")] internal static extern uint Close(uint handle);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_Reset")] internal static extern uint Reset(uint handle);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_ClearBackup")] internal static extern uint ClearBackup(uint handle);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_GetPCBData")] internal static extern uint GetPCBData(uint handle, out PcbData data);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_GetTAVOData")] internal static extern uint GetTAVOData(uint handle, out TavoData data);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_GetBackupData")] internal static extern uint GetBackupData(uint handle, out TavoData data);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_TradeBegin")] internal static extern uint TradeBegin(uint handle);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_TradeEnd")] internal static extern uint TradeEnd(uint handle);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_AcceptEx")] internal static extern uint AcceptEx(uint handle, uint limit, uint notes);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_Accept")] internal static extern uint Accept(uint handle, uint limit);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_Charge")] internal static extern uint Charge(uint handle, uint amount);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_PayBack")] internal static extern uint PayBack(uint handle);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_PayOut")] internal static extern uint PayOut(uint handle, uint amount);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_7SegDot")] internal static extern uint SegDot(uint handle, uint mask);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_7SegNum")] internal static extern uint SegNum(uint handle, uint mode, uint number);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_7SegPtn")] internal static extern uint SegPtn(uint handle, byte[] patterns);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_BuzzCtrl")] internal static extern uint BuzzCtrl(uint handle, uint count, byte[] pattern);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_OutputPort")] internal static extern uint OutputPort(uint handle, uint value);
        [DllImport(Lib, CallingConvention = Call, EntryPoint = "TAVO_UserCnt")] internal static extern uint UserCnt(uint handle, uint counter, uint count);

        // Loading with the provider's symbols visible to what loads next.
        internal const int RTLD_NOW = 2, RTLD_GLOBAL = 0x100;
        [DllImport("libdl.so.2", EntryPoint = "dlopen")] internal static extern IntPtr DlOpen(string path, int mode);
        [DllImport("libdl.so.2", EntryPoint = "dlerror")] internal static extern IntPtr DlError();
        [DllImport("kernel32", SetLastError = true, CharSet = CharSet.Ansi)] internal static extern IntPtr LoadLibrary(string path);
    }

    /// <summary>Loads the D2XX provider and then the library, once per process.</summary>
    public static class Provider
    {
        static readonly object Lock = new object();
        static string loaded;

        static bool Windows { get { return Path.DirectorySeparatorChar == '\\'; } }

        /// <summary>The provider's file: "virtual" (the virtual unit), "ttyusb"
        /// (Linux, real units over the kernel's tty), "ftdi" (Linux, real
        /// units over libftdi1), "ftd2xx" (the vendor's driver), or a path.</summary>
        public static string FileOf(string provider)
        {
            switch (provider)
            {
                case "virtual": return Windows ? "FTD2XX.DLL" : "libtavovu.so";
                case "ttyusb": return "libtavotty.so";
                case "ftdi": return "libtavoftdi.so";
                case "ftd2xx": return Windows ? "FTD2XX.DLL" : "libftd2xx.so";
                default: return provider;
            }
        }

        /// <summary>The path to load a file from: the first folder of
        /// TAVOCTL_LIBDIR that has it, else the bare name for the system's
        /// own search.</summary>
        public static string Find(string file)
        {
            if (Path.IsPathRooted(file)) return file;
            string dirs = Environment.GetEnvironmentVariable("TAVOCTL_LIBDIR") ?? "";
            foreach (string dir in dirs.Split(Path.PathSeparator))
            {
                if (dir.Length > 0 && File.Exists(Path.Combine(dir, file))) return Path.Combine(dir, file);
            }
            return file;
        }

        /// <summary>The path of the provider loaded, or null.</summary>
        public static string Loaded { get { return loaded; } }

        public static void Load(string provider)
        {
            lock (Lock)
            {
                string path = Find(FileOf(provider));
                if (loaded != null)
                {
                    if (loaded != path)
                        throw new TavoLoadException("this process already drives the unit through " + loaded + "; the library keeps its first provider");
                    return;
                }
                Open(path, "the D2XX provider " + provider);
                Open(Find(Windows ? "tavoctl.dll" : "libtavoctl.so.1"), "the tavoctl library");
                loaded = path;
            }
        }

        static void Open(string path, string what)
        {
            if (Windows)
            {
                if (NativeMethods.LoadLibrary(path) == IntPtr.Zero)
                    throw new TavoLoadException("cannot load " + what + " (" + path + "): Windows error " + Marshal.GetLastWin32Error());
                return;
            }
            if (NativeMethods.DlOpen(path, NativeMethods.RTLD_NOW | NativeMethods.RTLD_GLOBAL) == IntPtr.Zero)
                throw new TavoLoadException("cannot load " + what + ": " + Marshal.PtrToStringAnsi(NativeMethods.DlError()));
        }
    }

    /// <summary>One payment unit, open from construction to Dispose.</summary>
    public sealed class Unit : IDisposable
    {
        uint handle;
        bool open;

        public Unit(string provider = "virtual")
        {
            Provider.Load(provider);
            uint code = OpenUnit(out handle);
            // 0x0119: open, but a money unit is not settled. Closed again, so
            // that no unit stays open behind a constructor that threw.
            if (code == 0x0119) NativeMethods.Close(handle);
            Check(code, "TAVO_Open");
            open = true;
        }

        // Its own method: Mono binds a P/Invoke when it compiles the calling
        // method, which must come after Provider.Load has run.
        [MethodImpl(MethodImplOptions.NoInlining)]
        static uint OpenUnit(out uint handle) { return NativeMethods.Open(out handle); }

        static void Check(uint code, string export)
        {
            if ((code & 0xFFFF) != 0) throw new TavoException((int)(code & 0xFFFF), export);
        }

        public uint Handle { get { return handle; } }
        public bool IsOpen { get { return open; } }

        /// <summary>The board record: trade, credit, meters.</summary>
        public PcbData Board
        {
            get { PcbData d; Check(NativeMethods.GetPCBData(handle, out d), "TAVO_GetPCBData"); return d; }
        }

        /// <summary>The money units now. Reading it polls the unit, which also
        /// keeps a trade going: read it while a trade is open.</summary>
        public TavoData Units
        {
            get { TavoData d; Check(NativeMethods.GetTAVOData(handle, out d), "TAVO_GetTAVOData"); return d; }
        }

        public TavoData Backup
        {
            get { TavoData d; Check(NativeMethods.GetBackupData(handle, out d), "TAVO_GetBackupData"); return d; }
        }

        public void TradeBegin() { Check(NativeMethods.TradeBegin(handle), "TAVO_TradeBegin"); }
        public void TradeEnd() { Check(NativeMethods.TradeEnd(handle), "TAVO_TradeEnd"); }
        public void Accept(int limit, int notes = 3) { Check(NativeMethods.AcceptEx(handle, (uint)limit, (uint)notes), "TAVO_AcceptEx"); }
        public void Charge(int amount) { Check(NativeMethods.Charge(handle, (uint)amount), "TAVO_Charge"); }
        public void PayBack() { Check(NativeMethods.PayBack(handle), "TAVO_PayBack"); }
        public void PayOut(int amount) { Check(NativeMethods.PayOut(handle, (uint)amount), "TAVO_PayOut"); }
        public void Display(int number, int mode = 3) { Check(NativeMethods.SegNum(handle, (uint)mode, (uint)number), "TAVO_7SegNum"); }
        public void DisplayDots(int mask) { Check(NativeMethods.SegDot(handle, (uint)mask), "TAVO_7SegDot"); }
        public void DisplaySegments(byte[] patterns) { Check(NativeMethods.SegPtn(handle, patterns), "TAVO_7SegPtn"); }
        public void Beep(byte[] pattern) { Check(NativeMethods.BuzzCtrl(handle, (uint)pattern.Length, pattern), "TAVO_BuzzCtrl"); }
        public void OutputPort(int value) { Check(NativeMethods.OutputPort(handle, (uint)value), "TAVO_OutputPort"); }
        public void UserCounter(int counter, int count) { Check(NativeMethods.UserCnt(handle, (uint)counter, (uint)count), "TAVO_UserCnt"); }
        public void ClearBackup() { Check(NativeMethods.ClearBackup(handle), "TAVO_ClearBackup"); }

        /// <summary>Stops and resets the board; the unit is closed afterwards.</summary>
        public void Reset()
        {
            Check(NativeMethods.Reset(handle), "TAVO_Reset");
            open = false;
        }

        /// <summary>Polls until no command is pending and the credit is 0 (a
        /// payout has been reported).</summary>
        public TavoData WaitIdle(int timeoutMs = 10000, int intervalMs = 100)
        {
            DateTime end = DateTime.UtcNow.AddMilliseconds(timeoutMs);
            while (true)
            {
                TavoData units = Units;
                if (!units.IsPending && Board.Credit == 0) return units;
                if (DateTime.UtcNow > end) throw new TimeoutException("the units did not report the payout in time");
                Thread.Sleep(intervalMs);
            }
        }

        public void Dispose()
        {
            if (!open) return;
            open = false;
            NativeMethods.Close(handle);
        }
    }

    /// <summary>The virtual unit's own API (sim/tavovu.h), for tests that play
    /// the customer. The virtual unit becomes the process's provider.</summary>
    public static class VirtualUnit
    {
        public const int Ok = 0, Refused = -3;

        public static void Reset() { Call(() => { Native.vu_reset(); return 0; }); }
        /// <summary>The driver then lists no device (TAVO_Open: 0x0113).</summary>
        public static void ClearDevices() { Call(() => { Native.vu_clear_devices(); return 0; }); }
        /// <summary>A customer inserts a coin (10, 50, 100, 500); Ok when taken.</summary>
        public static int InsertCoin(int value, int device = 0) { return Call(() => Native.vu_insert_coin(device, value)); }
        /// <summary>A customer inserts a note of 1000; Ok when held in escrow.</summary>
        public static int InsertNote(int value = 1000, int device = 0) { return Call(() => Native.vu_insert_note(device, value)); }
        /// <summary>Loads the coin tubes: counts of 10, 50, 100, 500.</summary>
        public static int SetCoinStock(int[] counts, int device = 0) { return Call(() => Native.vu_set_coin_stock(device, counts)); }
        public static int SetNoteStock(int count, int device = 0) { return Call(() => Native.vu_set_note_stock(device, count)); }
        /// <summary>The board leaves frames unanswered: those of `command`
        /// (-1: any) whose first two payload bytes are `sub` and `value` (-1:
        /// any), after `skip` good ones, `count` times (-1: always).</summary>
        public static int Silence(int command = -1, int sub = -1, int value = -1, int skip = 0, int count = -1, int device = 0)
        {
            var fault = new Fault { Kind = 1, Command = command, Sub = sub, Value = value, Skip = skip, Count = count };
            return Call(() => Native.vu_add_fault(device, ref fault));
        }
        public static int ClearFaults(int device = 0) { return Call(() => Native.vu_clear_faults(device)); }

        [StructLayout(LayoutKind.Sequential)]
        struct Fault
        {
            public int Kind, Command, Sub, Value, Skip, Count;
            public byte Status;
        }

        // The native names resolve against the provider loaded first. Mono
        // binds a P/Invoke when it compiles the method that makes it, so the
        // call sits in a lambda, compiled when first run: after the load.
        static int Call(Func<int> native)
        {
            Provider.Load("virtual");
            return native();
        }

        static class Native
        {
            // "tavovu": Tavoctl.dll.config maps it to libtavovu.so (Linux) and
            // FTD2XX.DLL (Windows), the virtual unit's file names.
            const string Lib = "tavovu";
            const CallingConvention Call = CallingConvention.Cdecl;
            [DllImport(Lib, CallingConvention = Call)] internal static extern void vu_reset();
            [DllImport(Lib, CallingConvention = Call)] internal static extern void vu_clear_devices();
            [DllImport(Lib, CallingConvention = Call)] internal static extern int vu_insert_coin(int device, int value);
            [DllImport(Lib, CallingConvention = Call)] internal static extern int vu_insert_note(int device, int value);
            [DllImport(Lib, CallingConvention = Call)] internal static extern int vu_set_coin_stock(int device, int[] counts);
            [DllImport(Lib, CallingConvention = Call)] internal static extern int vu_set_note_stock(int device, int count);
            [DllImport(Lib, CallingConvention = Call)] internal static extern int vu_add_fault(int device, ref Fault fault);
            [DllImport(Lib, CallingConvention = Call)] internal static extern int vu_clear_faults(int device);
        }
    }
}
