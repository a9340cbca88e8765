// placeholder until the network monitor lands
