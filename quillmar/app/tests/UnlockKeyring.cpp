// Unlocks the keyring's default collection with the password read from
// standard input, without a prompt, as another program would: how the
// end-to-end tests unlock it from outside the window.
//   unlock_keyring < password
#include "platform/tests/support/KeyringLock.h"

#include <iostream>
#include <iterator>
#include <string>

int main()
{
    const std::string password{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    return platform::testing::unlockDefaultKeyring(password) ? 0 : 1;
}
