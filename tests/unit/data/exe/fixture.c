/* The source of the small executables the exe tests read: calls between
   functions, tables of function and data pointers (relocated absolute
   addresses) and global data reached PC-relatively. */
typedef int (*operation)(int, int);

int counter;
int values[64];
static const char* const names[] = {"first", "second", "third", "fourth"};

#ifdef ARM_BOTH_STATES
#define STATE_A __attribute__((target("arm")))
#define STATE_B __attribute__((target("thumb")))
#else
#define STATE_A
#define STATE_B
#endif

#define STEP(name, next, state)                                 \
  __attribute__((noinline)) state int name(int a, int b) {      \
    counter += a;                                               \
    values[(a + b) & 63] ^= b;                                  \
    return a > 3 ? next(a - 1, b * 3 + values[a & 63]) : a + b; \
  }

#ifdef NEWER_VERSION
/* The newer version: a function added ahead of the others moves all the code
   after it, and a changed constant changes one instruction. */
__attribute__((noinline)) int scale(int a) { return a * 7 + counter; }
#define SCALED(x) scale(x)
#else
#define SCALED(x) (x)
#endif

__attribute__((noinline)) int leaf(int a, int b) { return a * b + counter + names[a & 3][0]; }
STEP(f0, leaf, STATE_A)
STEP(f1, f0, STATE_B)
STEP(f2, f1, STATE_A)
STEP(f3, f2, STATE_B)
STEP(f4, f3, STATE_A)
STEP(f5, f4, STATE_B)
STEP(f6, f5, STATE_A)
STEP(f7, f6, STATE_B)

operation table[] = {f0, f1, f2, f3, f4, f5, f6, f7, leaf};

int run(int n) {
  int total = 0;
  for (int i = 0; i < n; ++i) {
    total = table[i % 9](total, i);
#ifdef NEWER_VERSION
    if (total > 1500)
#else
    if (total > 1000)
#endif
      total = f7(total & 15, i);
    else
      total += f3(i, total);
  }
  return SCALED(total) + names[n & 3][1];
}

__attribute__((visibility("default"))) int entry(void) { return run(counter); }
