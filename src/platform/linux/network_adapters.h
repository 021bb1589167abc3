// The machine's network adapters, as the adapter lock offers them.
#pragma once
