"""A Python std::mt19937_64, so that tests can predict the draws of a seeded engine."""

MASK64 = (1 << 64) - 1


class Mt19937_64:
    """The standard 64-bit Mersenne Twister: seeding, twist and tempering of std::mt19937_64.
    Each call returns the next 64-bit output."""

    N, M = 312, 156

    def __init__(self, seed):
        s = [seed & MASK64]
        for i in range(1, self.N):
            s.append((6364136223846793005 * (s[-1] ^ (s[-1] >> 62)) + i) & MASK64)
        self.s, self.i = s, self.N

    def _twist(self):
        s = self.s
        for k in range(self.N):
            y = (s[k] & 0xFFFFFFFF80000000) | (s[(k + 1) % self.N] & 0x7FFFFFFF)
            s[k] = s[(k + self.M) % self.N] ^ (y >> 1) ^ (0xB5026F5AA96619E9 if y & 1 else 0)
        self.i = 0

    def __call__(self):
        if self.i == self.N:
            self._twist()
        y = self.s[self.i]
        self.i += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        y ^= y >> 43
        return y & MASK64
