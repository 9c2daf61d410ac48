#pragma once
// The class ids of the test hook, as the registry and shellexec spell them.
// They sort in this order, so Wine's value order (by name) and Windows' (by
// creation) agree when a test registers them in this order.

// Hook A: takes "take" and "take-a", hInstApp 42.
#define TOOLS_TESTHOOK_A "{8D0C1A10-5E2B-4C61-9B7A-1F3E2D4C5B01}"
// Hook B: takes "take" and "take-b", hInstApp 43.
#define TOOLS_TESTHOOK_B "{8D0C1A10-5E2B-4C61-9B7A-1F3E2D4C5B02}"
// Never registered as a class: creating it fails.
#define TOOLS_TESTHOOK_NONE "{8D0C1A10-5E2B-4C61-9B7A-1F3E2D4C5B03}"
