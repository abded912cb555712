// The C# binding against libtavoctl.so and the virtual unit: the records'
// layout, a whole sale, and failures with their codes and texts. A plain
// program: prints each check and exits 1 if any failed.
using System;
using System.Runtime.InteropServices;
using Tavoctl;

static class SaleTest
{
    static int failed, passed;

    static void Expect(bool ok, string what)
    {
        Console.WriteLine((ok ? "ok   " : "FAIL ") + what);
        if (ok) ++passed; else ++failed;
    }

    static TavoException Throws(Action act)
    {
        try { act(); }
        catch (TavoException e) { return e; }
        return null;
    }

    static void Layout()
    {
        Expect(Marshal.SizeOf(typeof(PcbData)) == 232, "PcbData is 232 bytes");
        Expect(Marshal.SizeOf(typeof(TavoData)) == 36, "TavoData is 36 bytes");
        Expect((int)Marshal.OffsetOf(typeof(PcbData), "Credit") == 214, "PcbData.Credit at 214");
        Expect((int)Marshal.OffsetOf(typeof(TavoData), "BillFlags") == 28, "TavoData.BillFlags at 28");
    }

    static void Sale()
    {
        VirtualUnit.Reset();
        using (var unit = new Unit("virtual"))
        {
            Expect(unit.Board.Serial == "VIRTUAL00000001", "the virtual unit's serial: " + unit.Board.Serial);
            Expect(unit.Units.CoinStock[3] == 20 && unit.Units.BillStock == 10, "the default stock");
            unit.TradeBegin();
            unit.Accept(1280);
            Expect((unit.Units.CoinStatus & CoinStatus.Accepting) != 0, "coins accepted after Accept");
            VirtualUnit.InsertNote(1000);
            VirtualUnit.InsertCoin(500);
            int credit = 0;
            for (int i = 0; i < 50 && credit < 1280; ++i)
            {
                TavoData polled = unit.Units;
                credit = unit.Board.Credit;
            }
            Expect(credit == 1500, "credit 1500 after a note and a coin: " + credit);
            unit.Charge(1280);
            Expect(unit.Board.Credit == 220 && unit.Board.Charged == 1280, "charged 1280, 220 left");
            unit.PayBack();
            TavoData units = unit.WaitIdle(intervalMs: 0);
            Expect(units.CoinValueOut == 220 && units.CoinOut[2] == 2 && units.CoinOut[0] == 2,
                   "change 220 paid as 2 x 100 and 2 x 10: " + units.CoinValueOut);
            unit.TradeEnd();
            Expect(unit.Board.TradeId == 0, "the trade is closed");
        }
    }

    static void Failures()
    {
        VirtualUnit.Reset();
        using (var unit = new Unit("virtual"))
        {
            TavoException e = Throws(() => unit.Charge(100));
            Expect(e != null && e.Code == 0x1303 && e.Export == "TAVO_Charge" && e.Next == Next.FixCall,
                   "Charge without a trade: " + (e == null ? "no exception" : e.Message));
            Expect(e != null && e.Message == "0x1303 TAVO_Charge: " + e.Text && e.Text.StartsWith("no trade is open"),
                   "the table's text in the message");
            unit.TradeBegin();
            unit.Accept(1000);
            VirtualUnit.InsertCoin(500);
            TavoData polled = unit.Units;
            e = Throws(() => unit.TradeEnd());
            Expect(e != null && e.Code == 0x1171 && e.Next == Next.PayBack, "TradeEnd with credit: pay back first");
            unit.PayBack();
            unit.WaitIdle(intervalMs: 0);
            unit.TradeEnd();
        }
        // The coin unit's settle (CoinCtrl 63, control 00, settle 02) goes
        // unanswered at open: 0x0119, and the unit is closed again.
        VirtualUnit.Silence(0x63, 0x00, 0x02);
        TavoException unsettled = Throws(() => new Unit("virtual").Dispose());
        Expect(unsettled != null && unsettled.Code == 0x0119 && unsettled.Next == Next.ReadBoard,
               "an unsettled unit at open: 0x0119, read the board");
        VirtualUnit.ClearFaults();
        using (var again = new Unit("virtual"))
            Expect(again.IsOpen, "the unit opens again: nothing stayed open");
        VirtualUnit.ClearDevices();
        TavoException none = Throws(() => new Unit("virtual").Dispose());
        Expect(none != null && none.Code == 0x0113 && none.Next == Next.Service, "no device: 0x0113, service");
        Expect(ResultCodes.Find(0x0118) == null && ResultCodes.Message(0x0118) == "unknown result code 0x0118",
               "a code no export returns");
        TavoLoadException wrong = null;
        try { Provider.Load("ttyusb"); } catch (TavoLoadException x) { wrong = x; }
        Expect(wrong != null && wrong.Message.Contains("already drives the unit"), "a second provider is refused");
    }

    static int Main()
    {
        try
        {
            Layout();
            Sale();
            Failures();
        }
        catch (Exception e)
        {
            Console.WriteLine("FAIL unexpected " + e);
            ++failed;
        }
        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        return failed == 0 ? 0 : 1;
    }
}
