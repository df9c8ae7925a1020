/* Sample exports, kept for hosts that bind them by their decorated names. Nothing in the library
 * uses them; they exist in the Windows DLL only. */
class CNorvat {
public:
    CNorvat();
    CNorvat &operator=(const CNorvat &);
};

CNorvat::CNorvat() {}

CNorvat &CNorvat::operator=(const CNorvat &) { return *this; }

int fnNorvat() { return 42; }

int nNorvat = 0;
