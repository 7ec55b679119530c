// Receiver start-up: three fixed requests, each of which must get its fixed response.
#pragma once

namespace velquin {

// 0 when all three responses came, -2 when the exchange ran past its time.
// The line must already be in raw mode.
int devinit(int fd);

}  // namespace velquin
