    const Plane luma = {y_at, y_pitch, y_step}, cb_plane = {cb_at, c_pitch, c_step}, cr_plane = {cr_at, c_pitch, c_step};
    const Plane alpha = {a_at, a_pitch, a_step};
