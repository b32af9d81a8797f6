#pragma once

// Registers the launcher as the handler of "quorvane://" links. Failures are logged only.
void WriteRegFun();
