// The cipher's decipher of arbitrary text with an arbitrary key (the stored
// passwords in the settings file are such text: anyone who can edit the
// file controls it), and the round trip for arbitrary bytes.
//
// Input: one byte giving the key's length, the key, then the text.

#include "FuzzHarness.h"

#include "CipherControl.h"
#include "StoredTexts.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzHarness::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzHarness::InputReader input(data, size);
    const QString key = QString::fromUtf8(input.take(input.byte()));
    const QByteArray rest = input.rest();

    // Arbitrary text in the place of enciphered text: refused, or the plain
    // text whose encipherment is that text again (the hex digits in either case).
    const QString text = QString::fromLatin1(rest);
    bool ok = false;
    const QByteArray plain = CipherControl::decipher(text, key, &ok);
    if (ok) {
        FuzzHarness::require(CipherControl::encipher(plain, key).compare(text, Qt::CaseInsensitive) == 0,
                             "deciphered text does not encipher back", rest);
    } else {
        FuzzHarness::require(plain.isEmpty(), "refused text still gave plain text", rest);
    }
    bool wrapperOk = false;
    FuzzHarness::require(DecipherText(text, key, &wrapperOk) == plain && wrapperOk == ok, "wrapper differs", rest);

    // Any bytes survive the round trip, and their form is the stored form.
    const QString enciphered = CipherControl::encipher(rest, key);
    FuzzHarness::require(enciphered.size() == 6 + 2 * rest.size(), "enciphered form has the wrong length", rest);
    FuzzHarness::require(enciphered.left(6).toInt() == 2 * rest.size(), "count of the enciphered form", rest);
    bool back = false;
    FuzzHarness::require(CipherControl::decipher(enciphered, key, &back) == rest && back, "round trip lost bytes",
                         rest);
    return 0;
}
