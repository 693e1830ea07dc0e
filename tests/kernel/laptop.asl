// A laptop's battery and its Fujitsu firmware interface, for the guest's in-tree drivers:
// "battery" makes BAT0 of PNP0C0A, "fujitsu-laptop" adds its charge_control_end_threshold,
// which reads and writes the limit kept here through FUNC 0x1006 (0x21: read; limit * 0x100 +
// 0x20: write, answered 0 when refused). Every other FUNC call answers 0 (nothing pending).
DefinitionBlock ("", "SSDT", 2, "AMPW", "LAPTOP", 1)
{
    Scope (\_SB)
    {
        Device (BAT0)
        {
            Name (_HID, EisaId ("PNP0C0A"))
            Name (_UID, 1)
            Method (_STA) { Return (0x1F) }
            Method (_BIF)
            {
                Return (Package () { 1, 50000, 48000, 1, 11100, 5000, 2000, 100, 100,
                                     "TEST", "1", "LION", "AMPW" })
            }
            Method (_BST) { Return (Package () { 2, 1000, 40000, 11100 }) }
        }

        Device (FEXT)
        {
            Name (_HID, "FUJ02E3")
            Name (LIMT, 100)
            Method (_STA) { Return (0x0F) }
            Method (FUNC, 4)
            {
                If (Arg0 != 0x1006) { Return (0) }
                If (Arg2 == 0x21) { Return (LIMT) }
                Local0 = Arg2 >> 8
                If ((Arg1 != 0x21) || ((Arg2 & 0xFF) != 0x20) || (Local0 < 50) || (Local0 > 100))
                {
                    Return (0)
                }
                LIMT = Local0
                Return (1)
            }
        }
    }
}
