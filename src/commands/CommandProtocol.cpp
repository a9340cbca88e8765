// placeholder until the command protocol lands
