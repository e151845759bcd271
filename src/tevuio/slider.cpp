// placeholder until this part lands
