// One whole sale with tavoctl, in C#, on the virtual unit: price 1280, the
// customer pays 1000 + 500, the unit pays 220 back. For a real unit, give
// its provider and leave out VirtualUnit: a person inserts the money.
using System;
using Tavoctl;

static class Sale
{
    static int Main()
    {
        const int price = 1280;
        VirtualUnit.Reset();
        try
        {
            using (var unit = new Unit("virtual"))
            {
                unit.TradeBegin();
                unit.Accept(price);
                VirtualUnit.InsertNote(1000); // the customer
                VirtualUnit.InsertCoin(500);
                int paid = 0;
                for (int i = 0; i < 50 && paid < price; ++i)
                {
                    TavoData units = unit.Units; // polling keeps the trade going
                    paid = unit.Board.Credit;
                }
                unit.Charge(price);
                unit.PayBack();
                TavoData after = unit.WaitIdle(); // the change is paid
                unit.TradeEnd();
                Console.WriteLine("sold for {0}: paid {1}, change {2}", price, paid, after.CoinValueOut);
                return paid - after.CoinValueOut == price ? 0 : 1;
            }
        }
        catch (TavoException e) // e.Code, e.Export, e.Next, e.Text
        {
            Console.Error.WriteLine("sale failed: {0} (next: {1})", e.Message, e.Next);
            return 1;
        }
    }
}
