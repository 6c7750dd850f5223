// filled by the core model
