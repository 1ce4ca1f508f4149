#include <quillmor/handoff.h>
