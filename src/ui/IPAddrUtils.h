#pragma once
// Address text functions: filled in by the IP address control work.
