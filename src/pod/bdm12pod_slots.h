// Inside the BDM12POD driver: the slots of its table that live with the serial line
// (bdm12pod_link.cpp), for the table in bdm12pod.cpp.
#pragma once

namespace zelv {

[[nodiscard]] int bdm12pod_open();
[[nodiscard]] int bdm12pod_close();
[[nodiscard]] int bdm12pod_reset_normal();
[[nodiscard]] int bdm12pod_reset_special();

}  // namespace zelv
